"""Times each native operation against its pure-Python reference, in one process.

Every ``bench_<module>.py`` beside this file defines ``cases()``, a list of
``Case`` objects. Each case is timed as the minimum over several repeats of
both statements; the printed ratio is reference time / native time, so 3.0
means the native operation is three times as fast. A case with a target shows
whether the ratio reached it.

    python benchmarks/run.py [substring ...]   # only cases whose name contains one
"""
from __future__ import annotations

import importlib
import pathlib
import sys
import timeit
from dataclasses import dataclass, field
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


@dataclass
class Case:
    name: str
    native: str  # statement, run with `env` as globals
    reference: str  # statement doing the same work in pure Python
    env: dict[str, Any] = field(default_factory=dict)
    target: float | None = None  # least acceptable reference/native ratio
    repeat: int = 7


def best_time(stmt: str, env: dict[str, Any], repeat: int) -> float:
    timer = timeit.Timer(stmt, globals=env)
    number, elapsed = timer.autorange()
    number = max(number, int(number * 0.2 / max(elapsed, 1e-9)))  # about 0.2 s a repeat
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def main(argv: list[str]) -> int:
    modules = sorted(p.stem for p in HERE.glob("bench_*.py"))
    missed = 0
    print(f"{'case':58} {'native':>12} {'reference':>12} {'ratio':>7} {'target':>7}")
    for mod_name in modules:
        try:
            module = importlib.import_module(mod_name)
        except ImportError as exc:  # a module this build does not have
            print(f"{mod_name}: skipped ({exc})")
            continue
        for case in module.cases():
            if argv and not any(a in case.name for a in argv):
                continue
            native = best_time(case.native, case.env, case.repeat)
            reference = best_time(case.reference, case.env, case.repeat)
            ratio = reference / native
            verdict = ""
            if case.target is not None:
                ok = ratio >= case.target
                missed += not ok
                verdict = f"{case.target:6.2f}x {'ok' if ok else 'MISSED'}"
            print(f"{case.name:58} {fmt(native)} {fmt(reference)} {ratio:6.2f}x {verdict}", flush=True)
        if argv and not any(a in mod_name for a in argv):
            continue
        for extra in getattr(module, "extras", lambda: [])():
            print(extra, flush=True)
    print(f"\n{missed} case(s) missed their target" if missed else "\nall targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
