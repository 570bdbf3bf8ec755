# Set-up and everyday commands. Every target creates the virtual environment
# (CPython 3.13, found through .python-version) and installs valkin into it
# when the sources changed.
PYTHON ?= python3.13
VENV   := .venv
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.valkin-installed
SOURCES := $(shell find native src -type f) pyproject.toml CMakeLists.txt

.PHONY: tour test bench dev clean

tour: $(STAMP)
	$(VPY) -m valkin

test: $(STAMP)
	$(VPY) -m pytest

bench: $(STAMP)
	$(VPY) benchmarks/run.py $(ARGS)

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(STAMP): $(VPY) $(SOURCES)
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8"
	$(VPY) -m pip install --quiet --no-build-isolation ".[test]"
	touch $@

# Build and runtime dependencies alone, for working-tree builds.
DEPS := $(VENV)/.valkin-deps
$(DEPS): $(VPY) pyproject.toml
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" "PyYAML>=6.0,<7" "jsonpath-ng>=1.6,<2" "pycryptodome>=3.19,<5"
	touch $@

# Working-tree build for development: `make dev BUILD=build/mine` compiles into
# BUILD/pkg; run tests against it with `PYTHONPATH=BUILD/pkg .venv/bin/python -m pytest`.
BUILD ?= build/dev
dev: $(DEPS)
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build $(BUILD) -j 2

clean:
	rm -rf build $(VENV)
