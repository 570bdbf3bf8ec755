import atexit
import os
import shutil
import subprocess
import sys
import tempfile

from run import Case

from reference.fsops import PathBase as Reference
from valkin.bases.fsops import PathBase

_TREE = None


def tree():
    """About 20,000 files in 2,000 directories, made once per process."""
    global _TREE
    if _TREE is None:
        root = tempfile.mkdtemp(prefix="valkin-bench-fsops-")
        atexit.register(shutil.rmtree, root, ignore_errors=True)
        base = os.path.join(root, "proj")
        dirs = []
        for i in range(20):
            for j in range(10):
                dirs.extend(os.path.join(base, f"d{i}", f"e{j}", f"f{k}") for k in range(9))
        for d in dirs:
            os.makedirs(d)
        # 20 + 200 + 1800 directories; ten files in each of the 1800 deepest
        # and ten in each of the 200 above them.
        for d in dirs:
            for n in range(10):
                with open(os.path.join(d, f"file{n}.txt"), "w") as f:
                    f.write("x")
        for i in range(20):
            for j in range(10):
                for n in range(10):
                    with open(os.path.join(base, f"d{i}", f"e{j}", f"top{n}.txt"), "w") as f:
                        f.write("x")
        _TREE = base
    return _TREE


def small_file():
    path = os.path.join(os.path.dirname(tree()), "lines.txt")
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.writelines(f"line {n} with some text   \n" for n in range(10_000))
    return path


def cases():
    base = tree()
    lines = small_file()
    a_file = os.path.join(base, "d3", "e4", "f5", "file6.txt")
    a_dir = os.path.join(base, "d3", "e4")

    native_dict = PathBase._path_file_dict(base, except_result="valkin_except_result")
    reference_dict = Reference._path_file_dict(base, except_result="valkin_except_result")
    assert list(native_dict.items()) == list(reference_dict.items())
    assert sum(map(len, native_dict.values())) >= 20_000 and len(native_dict) > 2_000
    assert PathBase._path_file_list(base) == Reference._path_file_list(base)
    assert list(PathBase._path_readline(lines)) == list(Reference._path_readline(lines))

    env = {"PathBase": PathBase, "Reference": Reference, "base": base, "a_file": a_file, "a_dir": a_dir,
           "missing": a_file + ".missing", "lines": lines}
    return [
        Case("fsops: _path_exists(existing file)", "PathBase._path_exists(a_file)",
             "Reference._path_exists(a_file)", env, target=2.0),
        Case("fsops: _path_file(existing file)", "PathBase._path_file(a_file)", "Reference._path_file(a_file)",
             env, target=2.0),
        Case("fsops: _path_dir(existing directory)", "PathBase._path_dir(a_dir)", "Reference._path_dir(a_dir)",
             env, target=2.0),
        Case("fsops: _path_normal(existing path)", "PathBase._path_normal(a_file)",
             "Reference._path_normal(a_file)", env, target=2.0),
        Case("fsops: _path_exists(missing path)", "PathBase._path_exists(missing)",
             "Reference._path_exists(missing)", env),
        Case("fsops: _path_file_dict(20k files, 2k dirs)", "PathBase._path_file_dict(base)",
             "Reference._path_file_dict(base)", env, target=2.0, repeat=5),
        Case("fsops: _path_file_list(20k files, 2k dirs)", "PathBase._path_file_list(base)",
             "Reference._path_file_list(base)", env, target=2.0, repeat=5),
        Case("fsops: _path_read(10k lines)", "PathBase._path_read(lines)", "Reference._path_read(lines)", env),
        Case("fsops: list(_path_readline(10k lines))", "list(PathBase._path_readline(lines))",
             "list(Reference._path_readline(lines))", env),
    ]


# Peak memory of one pass of _path_readline over a 200 MB file, measured in a
# process of its own so that nothing else counts towards its peak.
_RSS_PROBE = r"""
import os, resource, sys, tempfile
from valkin.bases.fsops import PathBase
from reference.fsops import PathBase as Reference

which = sys.argv[1]
target = {"native": PathBase, "reference": Reference}[which]
size = 200 * 1024 * 1024
line = "0123456789" * 9 + "   \n"
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "big.txt")
    chunk = line * 10_000
    with open(path, "w") as f:
        written = 0
        while written < size:
            f.write(chunk)
            written += len(chunk)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    count = 0
    longest = 0
    for item in target._path_readline(path):
        count += 1
        longest = max(longest, len(item))
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(f"{which} {written} {count} {before} {after}")
"""


def extras():
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    paths = [here] + [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    out = []
    for which in ("native", "reference"):
        done = subprocess.run([sys.executable, "-c", _RSS_PROBE, which], capture_output=True, text=True, env=env,
                              check=False)
        if done.returncode != 0:
            out.append(f"fsops: _path_readline peak RSS ({which}): probe failed: {done.stderr.strip()[-200:]}")
            continue
        _, written, count, before, after = done.stdout.split()
        before_mb, after_mb = int(before) / 1024, int(after) / 1024
        out.append(f"fsops: _path_readline over {int(written) / 2**20:.0f} MB ({int(count):,} lines, {which}): "
                   f"peak RSS {before_mb:.1f} MB before, {after_mb:.1f} MB after, "
                   f"grew {after_mb - before_mb:.1f} MB")
    return out
