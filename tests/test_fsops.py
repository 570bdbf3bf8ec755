import collections
import collections.abc
import gc
import inspect
import os
import pathlib
import random
import shutil
import stat
import types

import pytest

from valkin.bases import fsops
from valkin.bases.fsops import PathBase

SENTINEL = "valkin_except_result"

METHODS = [
    "_path_normal", "_path_exists", "_path_file", "_path_dir", "_path_delete", "_path_copy", "_path_move",
    "_path_read", "_path_readline", "_path_readlines", "_path_write", "_path_writelines", "_path_file_list",
    "_path_file_dict",
]


# ---- fixtures ---------------------------------------------------------------


def make_files(root, files):
    for rel, content in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)


@pytest.fixture
def proj(tmp_path):
    """proj/{a.txt, build/x.o, src/{m.py, README, util/u.py}, docs/}"""
    root = tmp_path / "proj"
    make_files(root, {"a.txt": "a", "build/x.o": "x", "src/m.py": "m", "src/README": "r", "src/util/u.py": "u"})
    (root / "docs").mkdir()
    return root


@pytest.fixture
def linked(tmp_path):
    """A tree with a dangling link, a link to a file, a link to a directory
    and two links back to ancestors (a cycle)."""
    root = tmp_path / "top"
    make_files(root, {"data/f.txt": "f", "data/sub/g.txt": "g"})
    (root / "file_link").symlink_to(root / "data" / "f.txt")
    (root / "dir_link").symlink_to("data")
    (root / "dangling").symlink_to("missing")
    (root / "data" / "sub" / "up").symlink_to("../..")
    (root / "data" / "back").symlink_to("..")
    return root


def walk_model(top):
    """What the contract defines _path_file_list as."""
    return [os.path.join(r, f) for r, _, files in os.walk(top, topdown=False) for f in files]


def dict_model(top, skip_dir=(), skip_file=()):
    """The depth-first walk of _path_file_dict, for trees without links."""
    top = os.path.abspath(top)
    result, stack = {}, [(top, os.path.basename(top))]
    while stack:
        here, key = stack.pop()
        files = []
        for name in os.listdir(here):
            full = os.path.join(here, name)
            if os.path.isfile(full):
                if name not in skip_file:
                    files.append(name)
            elif os.path.isdir(full) and name not in skip_dir:
                stack.append((full, os.path.join(key, name)))
        result[key] = files
    return result


# ---- the module and the class -------------------------------------------------


def test_module_namespace_and_class_layout():
    public = [k for k in vars(fsops) if not (k.startswith("__") and k.endswith("__"))]
    assert public == ["os", "shutil", "deque", "_valkin_except", "PathBase"]
    assert fsops.os is os and fsops.shutil is shutil and fsops.deque is collections.deque
    from valkin.bases.guardrail import _valkin_except

    assert fsops._valkin_except is _valkin_except
    assert PathBase.__doc__ == "\n    路径操作工具类，提供了一系列用于处理文件和目录的静态方法。\n    "
    assert PathBase.__bases__ == (object,)
    assert [k for k in vars(PathBase) if k.startswith("_path")] == METHODS
    for name in METHODS:
        assert isinstance(vars(PathBase)[name], classmethod)
        method = getattr(PathBase, name)
        assert method.__qualname__ == f"PathBase.{name}"
        assert method.__module__ == PathBase.__module__ == "valkin.bases.fsops"


@pytest.mark.parametrize("name", METHODS)
def test_docstring_layout_follows_the_signature(name):
    method = getattr(PathBase, name)
    params = list(inspect.signature(method.__wrapped__).parameters.values())
    assert params[0].name == "cls" and params[-1].name == "except_result"
    shown = ", ".join(p.name if p.default is p.empty else f"{p.name}={p.default!r}" for p in params)
    lines = method.__doc__.split("\n")
    assert lines[0] == f"PathBase.{name}({shown})"
    assert lines[1] and lines[2] == ""
    param_lines = [line for line in lines[3:] if line.startswith(":param ")]
    assert [line.split(":")[1][len("param "):] for line in param_lines] == [p.name for p in params[1:]]
    assert lines[3:3 + len(param_lines)] == param_lines
    rest = lines[3 + len(param_lines):]
    if name in ("_path_write", "_path_writelines"):
        assert rest == []
    else:
        assert len(rest) == 1 and rest[0].startswith(":return: ")


@pytest.mark.parametrize("name, default", [("_path_exists", False), ("_path_file", False), ("_path_dir", False),
                                           ("_path_normal", SENTINEL), ("_path_read", SENTINEL)])
def test_except_result_defaults(name, default):
    assert inspect.signature(getattr(PathBase, name)).parameters["except_result"].default == default


def test_write_docstrings_carry_the_content_parameter():
    assert PathBase._path_write.__doc__ == (
        "PathBase._path_write(cls, obj, content, mode='w', encoding=None, except_result='valkin_except_result')\n"
        "写入内容到文件。\n\n"
        ":param obj: 文件路径。\n"
        ":param content: 要写入的内容。\n"
        ":param mode: 文件打开模式，默认为 'w'。\n"
        ":param encoding: 文件编码，默认为 None。\n"
        ":param except_result: 异常时返回的结果。")
    assert ":param lines: 要写入的多行内容（可迭代对象）。" in PathBase._path_writelines.__doc__.split("\n")


# ---- path tests and normalisation ---------------------------------------------


@pytest.fixture
def kinds(linked):
    return {
        "file": str(linked / "data" / "f.txt"),
        "dir": str(linked / "data"),
        "dangling": str(linked / "dangling"),
        "file_link": str(linked / "file_link"),
        "dir_link": str(linked / "dir_link"),
        "missing": str(linked / "nothing"),
        "empty": "",
        "nul": str(linked / "data") + "\0x",
        "bytes_dir": os.fsencode(linked / "data"),
        "bytes_nul": b"a\0b",
        "pathlike": linked / "data" / "f.txt",
        "surrogate": str(linked) + "/\udcff",
        "unencodable": str(linked) + "/\ud800",
        "non_ascii": str(linked / "données"),
        "fifo": "/dev/null",
    }


@pytest.mark.parametrize("kind", ["file", "dir", "dangling", "file_link", "dir_link", "missing", "empty", "nul",
                                  "bytes_dir", "bytes_nul", "pathlike", "surrogate", "unencodable", "non_ascii",
                                  "fifo"])
@pytest.mark.parametrize("name, model", [("_path_exists", os.path.exists), ("_path_file", os.path.isfile),
                                         ("_path_dir", os.path.isdir)])
def test_path_tests_answer_as_os_path_does(kinds, kind, name, model):
    obj = kinds[kind]
    assert getattr(PathBase, name)(obj) is model(obj)


def test_path_tests_on_file_descriptors(tmp_path):
    (tmp_path / "f").write_text("x")
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    try:
        assert PathBase._path_exists(fd) is True and PathBase._path_file(fd) is True
        assert PathBase._path_dir(fd) is False
    finally:
        os.close(fd)


@pytest.mark.parametrize("name, text", [("_path_exists", "期望获取 obj 路径是否存在"),
                                        ("_path_file", "期望获取 obj 路径是否为文件"),
                                        ("_path_dir", "期望获取 obj 路径是否为目录")])
def test_path_tests_refusing_the_type_give_the_fallback(name, text):
    method = getattr(PathBase, name)
    assert method(None) is None
    assert method([1], except_result=True) is True
    with pytest.raises(TypeError, match=f"^{text}，异常原因：{{"):
        method(None, except_result=SENTINEL)


@pytest.mark.parametrize("obj, expected", [
    ("a//b/../c/", "a/c"), ("", "."), (b"x//y/./", b"x/y"), ("//a//b", "//a/b"), ("///a", "/a"),
    ("./a/.", "a"), ("../../a", "../../a"), ("/..", "/"), ("données//x", "données/x"),
    (pathlib.PurePosixPath("a/b"), "a/b"), ("/already/normal.txt", "/already/normal.txt"), ("a\0/./b", "a\0/b"),
])
def test_normal_matches_normpath(obj, expected):
    assert PathBase._path_normal(obj) == expected == os.path.normpath(obj)


def test_normal_agrees_with_normpath_on_random_paths():
    rng = random.Random(7)
    parts = ["/", ".", "..", "a", "bc", "é", "\0", "\U0001f600", "ĀĂ"]
    for _ in range(20000):
        text = "".join(rng.choice(parts) for _ in range(rng.randint(0, 7)))
        got = PathBase._path_normal(text)
        assert got == os.path.normpath(text) and type(got) is str, repr(text)


def test_normal_refusing_the_type():
    assert PathBase._path_normal(None) is None
    with pytest.raises(TypeError, match=r"^期望规范化 obj 路径，异常原因：\{"):
        PathBase._path_normal(3, except_result=SENTINEL)


# ---- copy, move and delete ------------------------------------------------------


@pytest.mark.parametrize("kind, result, gone, kept", [
    ("missing", True, [], []),
    ("file", True, ["data/f.txt"], ["data/sub/g.txt"]),
    ("tree", True, ["data", "file_link"], []),  # file_link now dangles
    ("dangling", True, [], ["dangling"]),
    ("file_link", True, ["file_link"], ["data/f.txt"]),
    ("dir_link", None, [], ["dir_link", "data/f.txt"]),  # rmtree refuses links
])
def test_delete(linked, kind, result, gone, kept):
    target = {"missing": "nothing", "file": "data/f.txt", "tree": "data", "dangling": "dangling",
              "file_link": "file_link", "dir_link": "dir_link"}[kind]
    assert PathBase._path_delete(str(linked / target)) is result
    for rel in gone:
        assert not os.path.exists(linked / rel)
    for rel in kept:
        assert os.path.lexists(linked / rel)


def test_delete_and_copy_of_none_count_the_failed_tests_as_false(tmp_path):
    assert PathBase._path_delete(None) is True
    assert PathBase._path_copy(None, str(tmp_path / "x")) is False
    assert PathBase._path_move(None, str(tmp_path / "x")) is False
    assert not (tmp_path / "x").exists()


def test_copy_file_keeps_content_and_permission_bits(tmp_path):
    src = tmp_path / "s.sh"
    src.write_text("#!/bin/sh\n")
    src.chmod(0o751)
    assert PathBase._path_copy(str(src), str(tmp_path / "t.sh")) is True
    assert (tmp_path / "t.sh").read_text() == "#!/bin/sh\n"
    assert stat.S_IMODE((tmp_path / "t.sh").stat().st_mode) == 0o751


def test_copy_tree_creates_missing_parents_and_follows_links(proj, tmp_path):
    (proj / "src" / "link").symlink_to(proj / "a.txt")
    target = tmp_path / "x" / "y" / "z"
    assert PathBase._path_copy(str(proj), str(target)) is True
    assert (target / "src" / "util" / "u.py").read_text() == "u"
    assert (target / "src" / "link").read_text() == "a" and not (target / "src" / "link").is_symlink()
    assert (tmp_path / "x" / "y").is_dir()


@pytest.mark.parametrize("op", ["_path_copy", "_path_move"])
def test_copy_and_move_edge_results(linked, tmp_path, op):
    method = getattr(PathBase, op)
    # A missing source changes nothing.
    assert method(str(linked / "nothing"), str(tmp_path / "new")) is False
    assert not (tmp_path / "new").exists()
    # A file whose target directory is missing ends in the guard.
    assert method(str(linked / "data" / "f.txt"), str(tmp_path / "no" / "dir" / "f")) is None
    assert (linked / "data" / "f.txt").exists() and not (tmp_path / "no").exists()


@pytest.mark.parametrize("op, text", [("_path_copy", "期望复制 src_obj 文件或目录到 tar_obj 目标路径"),
                                      ("_path_move", "期望移动 src_obj 文件或目录到 tar_obj 目标路径")])
@pytest.mark.parametrize("existing", ["file", "dir"])
def test_copy_and_move_never_overwrite(tmp_path, op, text, existing):
    src = tmp_path / "src.txt"
    src.write_text("new")
    tar = tmp_path / "tar"
    if existing == "file":
        tar.write_text("old")
    else:
        tar.mkdir()
    method = getattr(PathBase, op)
    assert method(str(src), str(tar)) is None
    assert method(str(src), str(tar), except_result=False) is False
    with pytest.raises(FileExistsError) as info:
        method(str(src), str(tar), except_result=SENTINEL)
    assert str(info.value) == f"{text}，异常原因：{{目标路径 {tar} 已存在}}"
    assert src.read_text() == "new"
    assert (tar.read_text() == "old") if existing == "file" else list(tar.iterdir()) == []


@pytest.mark.parametrize("what", ["file", "dir"])
def test_move(linked, tmp_path, what):
    src = linked / ("data/f.txt" if what == "file" else "data")
    assert PathBase._path_move(str(src), str(tmp_path / "moved")) is True
    assert not src.exists() and (tmp_path / "moved").exists()


def test_siblings_are_called_through_cls(tmp_path):
    calls = []

    class Sub(PathBase):
        @classmethod
        def _path_exists(cls, obj, except_result=False):
            calls.append(obj)
            return "yes"  # truthy, not True

    (tmp_path / "a").write_text("a")
    assert Sub._path_copy(str(tmp_path / "a"), str(tmp_path / "b")) is None  # the target "exists"
    assert Sub._path_delete(str(tmp_path / "a")) is False
    assert calls == [str(tmp_path / "b"), str(tmp_path / "a")]
    assert not (tmp_path / "a").exists()  # removed, though reported still there


# ---- reading ----------------------------------------------------------------------


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.txt"
    path.write_bytes(b"a \nb\r\n\nc")
    return str(path)


@pytest.mark.parametrize("mode, read, readlines, readline", [
    ("r", "a \nb\n\nc", ["a \n", "b\n", "\n", "c"], ["a", "b", "", "c"]),
    ("rb", b"a \nb\r\n\nc", [b"a \n", b"b\r\n", b"\n", b"c"], [b"a", b"b", b"", b"c"]),
])
def test_reading_the_sample(sample, mode, read, readlines, readline):
    assert PathBase._path_read(sample, mode) == read
    assert PathBase._path_readlines(sample, mode=mode) == readlines
    assert list(PathBase._path_readline(sample, mode)) == readline


@pytest.mark.parametrize("raw, mode, expected", [
    (b"", "r", ("", [], [])),
    (b"", "rb", (b"", [], [])),
    (b"   \n\t x \t\n", "r", ("   \n\t x \t\n", ["   \n", "\t x \t\n"], ["", "\t x"])),
    (b"x\x0b\x0c\x1c\n", "rb", (b"x\x0b\x0c\x1c\n", [b"x\x0b\x0c\x1c\n"], [b"x\x0b\x0c\x1c"])),
    ("é\u3000\n".encode(), "r", ("é\u3000\n", ["é\u3000\n"], ["é"])),
])
def test_reading_edges(tmp_path, raw, mode, expected):
    path = tmp_path / "f"
    path.write_bytes(raw)
    encoding = "utf-8" if mode == "r" else None
    got = (PathBase._path_read(str(path), mode, encoding), PathBase._path_readlines(str(path), mode, encoding),
           list(PathBase._path_readline(str(path), mode, encoding)))
    assert got == expected


def test_reading_with_an_encoding(tmp_path):
    path = tmp_path / "u16"
    path.write_text("héllo\nwörld\n", encoding="utf-16")
    assert PathBase._path_read(path, encoding="utf-16") == "héllo\nwörld\n"
    assert list(PathBase._path_readline(path, encoding="utf-16")) == ["héllo", "wörld"]


@pytest.mark.parametrize("name", ["_path_read", "_path_readlines"])
@pytest.mark.parametrize("args", [("missing",), (".",), ("f", "rb", "utf-8"), ("f", "q"), ("bad",)])
def test_reading_failures_give_the_fallback(tmp_path, monkeypatch, name, args):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "f").write_text("x")
    (tmp_path / "bad").write_bytes(b"\xff\xfe\xfa")
    method = getattr(PathBase, name)
    kwargs = {"encoding": "utf-8"} if args == ("bad",) else {}
    assert method(*args, **kwargs) is None
    fallback = []
    assert method(*args, **kwargs, except_result=fallback) is fallback


def test_reading_a_file_descriptor_closes_it(tmp_path):
    (tmp_path / "f").write_text("from fd")
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    assert PathBase._path_read(fd) == "from fd"
    with pytest.raises(OSError):
        os.fstat(fd)


# ---- the line generator -------------------------------------------------------------


@pytest.fixture
def opened(monkeypatch):
    """Files opened through the module's `open`, in order."""
    files = []
    real_open = open

    def spy(*args, **kwargs):
        f = real_open(*args, **kwargs)
        files.append(f)
        return f

    monkeypatch.setattr(fsops, "open", spy, raising=False)
    return files


def test_readline_is_a_lazy_generator(tmp_path, opened):
    path = tmp_path / "later.txt"
    gen = PathBase._path_readline(str(path))
    assert gen.__name__ == "_path_readline" and gen.__qualname__ == "PathBase._path_readline"
    assert isinstance(gen, collections.abc.Generator) and iter(gen) is gen
    assert "PathBase._path_readline" in repr(gen)
    assert opened == []
    path.write_text("one\ntwo\n")  # created after the call: only the first next opens it
    assert next(gen) == "one"
    assert len(opened) == 1 and not opened[0].closed
    assert gen.send("ignored") == "two"
    with pytest.raises(StopIteration):
        next(gen)
    assert opened[0].closed
    with pytest.raises(StopIteration):
        next(gen)


def test_readline_on_a_missing_path_fails_at_the_first_next(tmp_path):
    gen = PathBase._path_readline(str(tmp_path / "missing"), except_result="never used")
    with pytest.raises(FileNotFoundError):
        next(gen)
    assert list(gen) == []


def test_readline_raises_a_decoding_error_where_it_occurs(tmp_path, opened):
    path = tmp_path / "f"
    path.write_bytes(b"good\n" + b"x" * 9000 + b"\n\xff\n")
    gen = PathBase._path_readline(str(path), encoding="utf-8")
    assert next(gen) == "good"
    with pytest.raises(UnicodeDecodeError):
        list(gen)
    assert opened[0].closed


@pytest.mark.parametrize("finish", ["close", "throw", "drop"])
def test_readline_closes_its_file_when_left_early(sample, opened, finish):
    gen = PathBase._path_readline(sample)
    assert next(gen) == "a"
    if finish == "close":
        assert gen.close() is None
        assert gen.close() is None
    elif finish == "throw":
        with pytest.raises(KeyError):
            gen.throw(KeyError("k"))
    else:
        del gen
        gc.collect()
    assert opened[0].closed
    if finish != "drop":
        with pytest.raises(StopIteration):
            next(gen)


def test_readline_generator_protocol_before_the_start(sample, opened):
    gen = PathBase._path_readline(sample)
    with pytest.raises(TypeError, match="just-started"):
        gen.send(1)
    with pytest.raises(ValueError, match="boom"):
        gen.throw(ValueError("boom"))
    assert list(gen) == [] and opened == []
    fresh = PathBase._path_readline(sample)
    assert fresh.close() is None and list(fresh) == []
    with pytest.raises(TypeError):
        PathBase._path_readline(sample).throw(42)


def test_readline_stop_iteration_inside_becomes_runtime_error(sample):
    gen = PathBase._path_readline(sample)
    next(gen)
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        gen.throw(StopIteration())


# ---- writing ------------------------------------------------------------------------


@pytest.mark.parametrize("method, payload, mode, encoding", [
    ("_path_write", "a\nb é\n", "w", None),
    ("_path_write", "a\nb é\n", "w", "utf-16"),
    ("_path_write", b"\x00raw\n", "wb", None),
    ("_path_writelines", ["x\n", "y"], "w", "latin-1"),
    ("_path_writelines", iter(["gen\n", "erated"]), "w", None),
    ("_path_writelines", [b"a", bytearray(b"b")], "wb", None),
    ("_path_writelines", "chars", "w", None),
])
def test_write_writes_what_one_call_would(tmp_path, method, payload, mode, encoding):
    if not isinstance(payload, (str, bytes, list)):
        payload = list(payload)
        given = iter(payload)  # the operation gets a one-shot iterator
    else:
        given = payload
    expected_path = tmp_path / "expected"
    with open(expected_path, mode, encoding=encoding) as f:
        getattr(f, method[len("_path_"):])(payload)
    assert getattr(PathBase, method)(str(tmp_path / "out"), given, mode, encoding) is None
    assert (tmp_path / "out").read_bytes() == expected_path.read_bytes()


def test_write_modes_append_and_exclusive(tmp_path):
    path = tmp_path / "f"
    path.write_text("old\n")
    assert PathBase._path_write(path, "more\n", mode="a") is None
    assert PathBase._path_writelines(path, ["x"], mode="x") is None  # exists: the guard's fallback
    assert path.read_text() == "old\nmore\n"
    assert PathBase._path_write(tmp_path / "no" / "parent", "x") is None
    assert not (tmp_path / "no").exists()


def failing_lines():
    yield "first\n"
    raise ValueError("mid-way")


@pytest.mark.parametrize("method, payload, mode, encoding", [
    ("_path_write", b"bytes in text mode", "w", None),
    ("_path_write", "text in binary mode", "wb", None),
    ("_path_write", 5, "w", None),
    ("_path_write", "\u00e9 is not ascii", "w", "ascii"),
    ("_path_write", "x", "w", "no-such-codec"),
    ("_path_write", "x", "wb", "utf-8"),
    ("_path_write", "x", "wz", None),
    ("_path_writelines", ["fine\n", 5], "w", None),
    ("_path_writelines", ["fine\n", "caf\u00e9"], "w", "ascii"),
    ("_path_writelines", 42, "w", None),
    ("_path_writelines", "generator", "w", None),
])
@pytest.mark.parametrize("before", ["existing", "missing"])
def test_a_failed_write_loses_nothing(tmp_path, method, payload, mode, encoding, before):
    if payload == "generator":
        payload = failing_lines()
    path = tmp_path / "keep.txt"
    if before == "existing":
        path.write_text("precious\n")
    assert getattr(PathBase, method)(str(path), payload, mode, encoding) is None
    if before == "existing":
        assert path.read_text() == "precious\n"
    else:
        assert not path.exists()


def test_a_failed_write_reraises_the_cause(tmp_path):
    with pytest.raises(TypeError, match=r"^期望写入内容到 obj 文件，异常原因：\{write\(\) argument must be str"):
        PathBase._path_write(str(tmp_path / "f"), b"x", except_result=SENTINEL)


def test_write_through_a_replaced_open(tmp_path, opened):
    PathBase._path_write(str(tmp_path / "f"), "x", "w", "utf-8")
    assert [f.name for f in opened] == [str(tmp_path / "f")]
    assert (tmp_path / "f").read_text() == "x"


# ---- file lists and trees -------------------------------------------------------------

EXAMPLE_ORDER = {"proj": ["a.txt", "build", "src", "docs"], "src": ["m.py", "util", "README"]}


def in_example_order(path, names):
    order = EXAMPLE_ORDER.get(os.path.basename(os.fsdecode(path)), [])
    return sorted(names, key=lambda n: order.index(n) if n in order else len(order))


def test_file_dict_worked_example_in_key_order(proj, monkeypatch):
    real = os.listdir
    monkeypatch.setattr(os, "listdir", lambda p: in_example_order(p, real(p)))
    result = PathBase._path_file_dict(str(proj), skip_dir=["build"], skip_file=["README"])
    assert list(result.items()) == [("proj", ["a.txt"]), ("proj/docs", []), ("proj/src", ["m.py"]),
                                    ("proj/src/util", ["u.py"])]


class OrderedScandir:
    """os.scandir with the entries in the worked example's order."""

    def __init__(self, real, path):
        with real(path) as it:
            entries = {e.name: e for e in it}
        self.entries = iter([entries[n] for n in in_example_order(path, list(entries))])

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.entries)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def close(self):
        pass


def test_file_list_worked_example_in_list_order(proj, monkeypatch):
    real = os.scandir
    monkeypatch.setattr(os, "scandir", lambda p: OrderedScandir(real, p))
    assert PathBase._path_file_list(str(proj)) == [
        f"{proj}/build/x.o", f"{proj}/src/util/u.py", f"{proj}/src/m.py", f"{proj}/src/README", f"{proj}/a.txt"]


@pytest.mark.parametrize("top", ["abs", "relative", "trailing", "bytes", "pathlike"])
def test_trees_follow_the_listing_order(proj, monkeypatch, top):
    monkeypatch.chdir(proj.parent)
    obj = {"abs": str(proj), "relative": "proj", "trailing": str(proj) + "/", "bytes": b"proj",
           "pathlike": pathlib.Path("proj")}[top]
    got = PathBase._path_file_dict(obj, except_result=SENTINEL)
    assert list(got.items()) == list(dict_model(obj).items())
    assert PathBase._path_file_list(obj, except_result=SENTINEL) == walk_model(obj)


def test_file_dict_from_inside_uses_the_directory_name(proj, monkeypatch):
    monkeypatch.chdir(proj / "src")
    assert set(PathBase._path_file_dict(".")) == {"src", "src/util"}


@pytest.mark.parametrize("skip_dir, skip_file, keys, files", [
    (["README"], ["util"], {"proj", "proj/build", "proj/docs", "proj/src", "proj/src/util"}, 5),
    ("build", None, {"proj", "proj/build", "proj/docs", "proj/src", "proj/src/util"}, 5),
    (("build", "util"), (), {"proj", "proj/docs", "proj/src"}, 3),
    (None, {"m.py", "x.o"}, {"proj", "proj/build", "proj/docs", "proj/src", "proj/src/util"}, 3),
])
def test_file_dict_skips_by_kind_and_whole_name(proj, skip_dir, skip_file, keys, files):
    result = PathBase._path_file_dict(proj, skip_dir, skip_file)
    assert set(result) == keys and sum(map(len, result.values())) == files


def test_file_dict_unhashable_skip_names_fail_before_reading(proj, monkeypatch):
    monkeypatch.setattr(os, "listdir", lambda p: pytest.fail("listed"))
    assert PathBase._path_file_dict(proj, skip_dir=[[1]]) is None


def test_empty_directory(tmp_path):
    assert PathBase._path_file_dict(tmp_path) == {tmp_path.name: []}
    assert PathBase._path_file_list(tmp_path) == []


@pytest.mark.parametrize("obj, error", [(None, TypeError), ("missing", FileNotFoundError),
                                        ("proj/a.txt", NotADirectoryError)])
def test_file_dict_needs_a_directory_file_list_does_not(proj, monkeypatch, obj, error):
    monkeypatch.chdir(proj.parent)
    assert PathBase._path_file_list(obj) == []
    assert PathBase._path_file_dict(obj) is None
    with pytest.raises(error, match="^期望获取 obj 目录下所有文件的字典结构，包含子目录，异常原因："):
        PathBase._path_file_dict(obj, except_result=SENTINEL)


def test_root_directory_key_is_empty(monkeypatch):
    monkeypatch.setattr(os, "listdir", lambda p: ["usr"] if p == "/" else [])
    assert PathBase._path_file_dict("/") == {"": [], "usr": []}


def test_links_in_trees(linked):
    got = PathBase._path_file_dict(str(linked), except_result=SENTINEL)
    top = linked.name
    assert got == {
        top: ["file_link"],
        f"{top}/data": ["f.txt"], f"{top}/data/sub": ["g.txt"],
        f"{top}/dir_link": ["f.txt"], f"{top}/dir_link/sub": ["g.txt"],
    }
    listed = PathBase._path_file_list(str(linked))
    assert listed == walk_model(str(linked))
    assert sorted(os.path.relpath(p, linked) for p in listed) == ["dangling", "data/f.txt", "data/sub/g.txt",
                                                                  "file_link"]


def test_cycles_end_also_through_the_python_route(linked, monkeypatch):
    expected = PathBase._path_file_dict(str(linked))
    real = os.listdir
    monkeypatch.setattr(os, "listdir", lambda p: real(p))
    assert PathBase._path_file_dict(str(linked)) == expected


def test_link_to_a_directory_outside_is_entered_once_per_link(tmp_path):
    make_files(tmp_path, {"shared/s.txt": "s", "tree/a/x": "x", "tree/b/y": "y"})
    (tmp_path / "tree" / "a" / "s").symlink_to(tmp_path / "shared")
    (tmp_path / "tree" / "b" / "s").symlink_to(tmp_path / "shared")
    result = PathBase._path_file_dict(tmp_path / "tree")
    assert result["tree/a/s"] == result["tree/b/s"] == ["s.txt"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind the superuser")
def test_unreadable_directory(proj):
    (proj / "src").chmod(0)
    try:
        assert sorted(PathBase._path_file_list(str(proj))) == [f"{proj}/a.txt", f"{proj}/build/x.o"]
        with pytest.raises(PermissionError):
            PathBase._path_file_dict(str(proj), except_result=SENTINEL)
    finally:
        (proj / "src").chmod(0o755)


def test_names_vanishing_during_the_walk_are_ignored(proj, monkeypatch):
    real = os.listdir
    monkeypatch.setattr(os, "listdir", lambda p: real(p) + ["ghost"])  # listed, gone before its tests
    assert sorted(PathBase._path_file_dict(str(proj))) == sorted(dict_model(proj))


def test_directory_deleted_before_it_is_listed(proj, monkeypatch):
    # Visiting order: proj, docs, src, src/util, build (the last listed first).
    real = os.listdir

    def listdir(path):
        if os.path.basename(path) == "src":
            shutil.rmtree(proj / "build")
        return in_example_order(path, real(path))

    monkeypatch.setattr(os, "listdir", listdir)
    assert PathBase._path_file_dict(str(proj)) is None
    with pytest.raises(FileNotFoundError):
        PathBase._path_file_dict(str(proj), except_result=SENTINEL)


def test_directory_deleted_before_os_walk_scans_it_is_skipped(proj, monkeypatch):
    # os.walk scans proj, then build, src, src/util, docs (the first listed first).
    real = os.scandir

    def scandir(path):
        if not isinstance(path, str):  # rmtree's own scans, by descriptor
            return real(path)
        if os.path.basename(path) == "build":
            shutil.rmtree(proj / "src")
        return OrderedScandir(real, path)

    monkeypatch.setattr(os, "scandir", scandir)
    assert PathBase._path_file_list(str(proj)) == [f"{proj}/build/x.o", f"{proj}/a.txt"]


# ---- patching the module globals --------------------------------------------------------


def test_patched_os_path_tests_reach_the_operations(tmp_path, monkeypatch):
    (tmp_path / "f").write_text("x")
    monkeypatch.setattr(os.path, "isfile", lambda p: False)
    monkeypatch.setattr(os.path, "isdir", lambda p: False)
    assert PathBase._path_file(str(tmp_path / "f")) is False
    assert PathBase._path_delete(str(tmp_path / "f")) is False  # neither file nor dir: nothing removed
    assert (tmp_path / "f").exists()
    assert PathBase._path_file_dict(tmp_path) == {tmp_path.name: []}


def test_patched_os_stat_reaches_the_path_tests(tmp_path, monkeypatch):
    def no_stat(*args, **kwargs):
        raise FileNotFoundError("patched")

    monkeypatch.setattr(os, "stat", no_stat)
    assert PathBase._path_exists(str(tmp_path)) is False
    assert PathBase._path_dir(str(tmp_path)) is False


def test_patched_shutil_and_walk_and_scandir(tmp_path, monkeypatch):
    (tmp_path / "a").write_text("a")
    copies = []
    monkeypatch.setattr(shutil, "copy", lambda s, t: copies.append((s, t)))
    assert PathBase._path_copy(str(tmp_path / "a"), str(tmp_path / "b")) is False
    assert copies == [(str(tmp_path / "a"), str(tmp_path / "b"))]
    monkeypatch.setattr(os, "walk", lambda top, topdown: iter([("r", [], ["x", "y"]), ["s", [], ("z",)]]))
    assert PathBase._path_file_list(str(tmp_path)) == ["r/x", "r/y", "s/z"]


def test_replaced_module_globals(tmp_path, monkeypatch):
    fake_path = types.SimpleNamespace(exists=lambda p: "maybe", normpath=lambda p: "normal",
                                      isdir=lambda p: True, abspath=lambda p: "/virtual/root",
                                      basename=lambda p: "root", join=lambda a, b: f"{a}/{b}",
                                      isfile=lambda p: p.endswith(".txt"))
    listing = {"/virtual/root": ["a.txt", "sub"], "/virtual/root/sub": ["b.txt"]}
    # A stand-in whose stat gives no usable identity (inode 0) still walks.
    fake_os = types.SimpleNamespace(path=fake_path, listdir=lambda p: listing[p],
                                    stat=lambda p: os.stat_result((0,) * 10))
    monkeypatch.setattr(fsops, "os", fake_os)
    assert PathBase._path_exists("anything") == "maybe"
    assert PathBase._path_normal("anything") == "normal"
    assert PathBase._path_file_dict("x") == {"root": ["a.txt"], "root/sub": ["b.txt"]}


def test_replaced_deque_drives_the_walk(proj, monkeypatch):
    popped = []

    class Recording(collections.deque):
        def pop(self):
            item = super().pop()
            popped.append(item[1])
            return item

    monkeypatch.setattr(fsops, "deque", Recording)
    result = PathBase._path_file_dict(proj)
    assert popped == list(result) and set(result) == set(dict_model(proj))


def test_deleted_global_gives_the_fallback(monkeypatch):
    monkeypatch.delattr(fsops, "os")
    assert PathBase._path_normal("a") is None
    with pytest.raises(NameError, match="name 'os' is not defined"):
        PathBase._path_exists("a", except_result=SENTINEL)
