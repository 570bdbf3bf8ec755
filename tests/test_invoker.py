import builtins
import functools
import gc
import inspect
import os
import sys
import types

import pytest

from valkin.bases import invoker
from valkin.bases.invoker import CallableBase
from valkin.bases.setops import ListBase

SENTINEL = "valkin_except_result"
HERE = __name__


def raw(name):
    """The undecorated operation: raises what the guard would catch."""
    return getattr(CallableBase, name).__wrapped__


# ---- things to name ----------------------------------------------------------

def plain(a, b=1):
    return a, b


async def fetch(url, timeout=1):
    return url, timeout


class Widget:
    def spin(self):
        return self

    async def load(self):
        return self

    @classmethod
    def build(cls):
        return cls()

    def __call__(self):
        return self


class Gadget(Widget):
    pass


def make_nested():
    def inner():
        return None

    return inner


class Impostor:
    """Passes isinstance(obj, FunctionType) but has no __qualname__."""

    @property
    def __class__(self):
        return types.FunctionType


class NumberNamed:
    """Passes the function test and is named by a number."""

    def __getattr__(self, name):
        if name == "__qualname__":
            return 42
        raise AttributeError(name)

    @property
    def __class__(self):
        return types.FunctionType


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


class WrongRepr:
    def __repr__(self):
        return 7


class NotReallyCallable:
    __call__ = 5


class ExplodingCall:
    @property
    def __call__(self):
        raise RuntimeError("call lookup failed")


class NoModule:
    def __call__(self):
        return None

    def __getattribute__(self, name):
        if name == "__module__":
            raise AttributeError("no module here")
        return object.__getattribute__(self, name)


class MyPartial(functools.partial):
    pass


class Ref(str):
    pass


# ---- the module ---------------------------------------------------------------

def test_namespace_and_class_layout():
    public = [k for k in vars(invoker) if not k.startswith("__")]
    assert public == ["inspect", "iscoroutinefunction", "partial", "lru_cache", "signature", "_valkin_except",
                      "CallableBase"]
    import asyncio

    assert invoker.iscoroutinefunction is asyncio.iscoroutinefunction
    assert invoker.signature is inspect.signature
    assert invoker.partial is functools.partial and invoker.lru_cache is functools.lru_cache
    members = [k for k in vars(CallableBase) if not k.startswith("__")]
    assert members == ["_callable_name", "_callable_ref", "_callable_obj", "_callable_convert_obj",
                       "_callable_check_args", "_get_signature", "_callable_coroutine"]
    assert CallableBase.__bases__ == (object,)
    assert CallableBase.__module__ == "valkin.bases.invoker"
    assert all(isinstance(vars(CallableBase)[k], classmethod) for k in members)


@pytest.mark.parametrize("name, params", [
    ("_callable_name", "(obj, except_result='valkin_except_result')"),
    ("_callable_ref", "(obj, except_result='valkin_except_result')"),
    ("_callable_obj", "(ref, except_result='valkin_except_result')"),
    ("_callable_convert_obj", "(obj, except_result='valkin_except_result')"),
    ("_callable_check_args", "(func, args, kwargs, except_result='valkin_except_result')"),
    ("_get_signature", "(func)"),
    ("_callable_coroutine", "(obj, except_result='valkin_except_result')"),
])
def test_signatures_and_first_doc_line(name, params):
    method = getattr(CallableBase, name)
    assert str(inspect.signature(method)) == params
    assert method.__doc__.splitlines()[0] == f"CallableBase.{name}(cls, {params[1:]}"
    assert method.__qualname__ == f"CallableBase.{name}"


def test_doc_bodies_are_chinese_descriptions():
    assert CallableBase._callable_name.__doc__.splitlines()[1] == "获取可调用对象 `obj` 的名称。"
    assert CallableBase._callable_check_args.__doc__.splitlines()[-1] == "无返回值。如果参数不匹配，会抛出 `ValueError` 异常。"
    assert CallableBase._get_signature.__doc__.splitlines()[-1] == (
        "- `follow_wrapped=False`参数表示在获取签名时不会跟随装饰器链，直接返回原始函数的签名。")


# ---- _callable_name ---------------------------------------------------------------

@pytest.mark.parametrize("obj, name", [
    (plain, "plain"),
    (Widget().spin, "Widget.spin"),
    (Gadget().spin, "Gadget.spin"),                 # the class bound to, not the one defining it
    (Gadget.build, "Gadget.build"),                 # class method reached through a subclass
    (Widget(), "Widget"),                           # callable instance: its class
    (Widget, "Widget"),
    (len, "len"),
    ([].append, "list.append"),
    (lambda: 0, "<lambda>"),
    (make_nested(), "make_nested.<locals>.inner"),
    (functools.partial(plain, 1), "partial"),
    (ListBase._list_set, "ListBase._list_set"),
    (types.MethodType(plain, 5), "int.plain"),      # bound to an instance of int
    (NumberNamed(), 42),                            # taken as it is, not converted
], ids=lambda v: v if isinstance(v, str) else None)
def test_callable_name(obj, name):
    assert CallableBase._callable_name(obj) == name


@pytest.mark.parametrize("obj, exc, message", [
    (42, TypeError, "无法确定 42 的名称，可能它不是可调用对象？"),
    ("text", TypeError, "无法确定 'text' 的名称，可能它不是可调用对象？"),
    (NotReallyCallable(), TypeError, None),
    (BadRepr(), RuntimeError, "no repr"),
    (WrongRepr(), TypeError, "__repr__ returned non-string (type int)"),
    (ExplodingCall(), RuntimeError, "call lookup failed"),
    (Impostor(), AttributeError, None),
])
def test_callable_name_failures(obj, exc, message):
    with pytest.raises(exc) as info:
        raw("_callable_name")(CallableBase, obj)
    if message is not None:
        assert str(info.value) == message
    assert CallableBase._callable_name(obj) is None
    fallback = object()
    assert CallableBase._callable_name(obj, except_result=fallback) is fallback
    with pytest.raises(exc) as info:
        CallableBase._callable_name(obj, except_result=SENTINEL)
    assert str(info.value).startswith("期望获取 obj 可调用对象的名称，异常原因：{")


def test_callable_name_message_holds_the_repr():
    with pytest.raises(TypeError) as info:
        CallableBase._callable_name(NotReallyCallable(), except_result=SENTINEL)
    text = str(info.value)
    assert text.startswith("期望获取 obj 可调用对象的名称，异常原因：{无法确定 <")
    assert "NotReallyCallable object at 0x" in text
    assert text.endswith("> 的名称，可能它不是可调用对象？}")


def test_callable_name_patched_inspect_takes_effect(monkeypatch):
    # Without the class test a class is named by its __call__, i.e. as an instance of type.
    monkeypatch.setattr(inspect, "isclass", lambda obj: False)
    assert CallableBase._callable_name(Widget) == "type"
    monkeypatch.undo()
    fake = types.SimpleNamespace(ismethod=lambda o: False, isclass=lambda o: False, isfunction=lambda o: False,
                                 isbuiltin=lambda o: True)
    monkeypatch.setattr(invoker, "inspect", fake)
    assert CallableBase._callable_name(Widget().spin) == "Widget.spin"  # a method's __qualname__ via rule 2
    assert CallableBase._callable_name(42) is None                       # int has no __qualname__
    monkeypatch.setattr(invoker, "inspect", types.SimpleNamespace())
    assert CallableBase._callable_name(plain) is None
    with pytest.raises(AttributeError):
        CallableBase._callable_name(plain, except_result=SENTINEL)


def test_callable_name_subclass_of_predicate_module(monkeypatch):
    # Rebinding the name to another module object is honoured as well.
    other = types.ModuleType("other_inspect")
    other.ismethod = inspect.ismethod
    other.isclass = inspect.isclass
    other.isfunction = lambda obj: False
    other.isbuiltin = inspect.isbuiltin
    monkeypatch.setattr(invoker, "inspect", other)
    assert CallableBase._callable_name(plain) == "function"


# ---- _callable_ref and _callable_obj round trips ----------------------------------

@pytest.mark.parametrize("obj, ref, back", [
    (plain, f"{HERE}:plain", plain),
    (Widget, f"{HERE}:Widget", Widget),
    (Widget().spin, f"{HERE}:Widget.spin", Widget.spin),   # resolving gives the function on the class
    (Gadget.build, f"{HERE}:Gadget.build", Gadget.build),
    (Widget(), f"{HERE}:Widget", Widget),                  # a callable instance names its class
    (len, "builtins:len", len),
    (os.path.join, f"{os.path.join.__module__}:join", os.path.join),
    (ListBase._list_set, "valkin.bases.setops:ListBase._list_set", ListBase._list_set),
    (CallableBase._callable_ref, "valkin.bases.invoker:CallableBase._callable_ref", CallableBase._callable_ref),
], ids=lambda v: v if isinstance(v, str) else None)
def test_reference_round_trip(obj, ref, back):
    assert CallableBase._callable_ref(obj) == ref
    assert CallableBase._callable_obj(ref) == back
    assert CallableBase._callable_convert_obj(ref) == back


def test_reference_text_of_parts():
    # A builtin method bound to an object carries __module__ None; it is written as text.
    assert CallableBase._callable_ref([].append) == "None:list.append"


@pytest.mark.parametrize("obj, exc, message", [
    (functools.partial(plain), ValueError, "无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。"),
    (functools.partial(lambda: 0), ValueError, "无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。"),
    (MyPartial(plain), ValueError, "无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。"),
    (lambda: 0, ValueError, "无法创建 lambda 的引用，因为 lambda 函数无法被唯一标识。"),
    (make_nested(), ValueError, "无法创建嵌套函数的引用，因为嵌套函数无法被唯一标识。"),
    (42, TypeError, "argument of type 'NoneType' is not iterable"),   # the inner name lookup gave None
    (NumberNamed(), TypeError, "argument of type 'int' is not iterable"),
    (NoModule(), AttributeError, "no module here"),
], ids=["partial", "partial-of-lambda", "partial-subclass", "lambda", "nested", "int", "number-name", "no-module"])
def test_callable_ref_failures(obj, exc, message):
    with pytest.raises(exc) as info:
        raw("_callable_ref")(CallableBase, obj)
    assert str(info.value) == message
    assert CallableBase._callable_ref(obj) is None
    with pytest.raises(exc) as info:
        CallableBase._callable_ref(obj, except_result=SENTINEL)
    assert str(info.value) == "期望将 obj 对象转换为引用字符串，异常原因：{" + message + "}"


def test_callable_ref_names_through_cls():
    class Renamed(CallableBase):
        @classmethod
        def _callable_name(cls, obj, except_result=SENTINEL):
            return "Other.name"

    assert Renamed._callable_ref(plain) == f"{HERE}:Other.name"


def test_callable_ref_patched_partial_takes_effect(monkeypatch):
    monkeypatch.setattr(invoker, "partial", Widget)
    assert CallableBase._callable_ref(Widget()) is None
    assert CallableBase._callable_ref(functools.partial(plain)) == "functools:partial"


@pytest.mark.parametrize("ref, expected", [
    ("os.path:join", os.path.join),
    ("os:path.join", os.path.join),
    ("collections:abc.Mapping", __import__("collections.abc").abc.Mapping),
    (Ref("os.path:join"), os.path.join),                  # a str subclass is a str
    ("valkin.bases:setops.ListBase", ListBase),
    ("builtins:len", len),
    ("os:sep", os.sep),                                    # not necessarily callable
])
def test_callable_obj_resolves(ref, expected):
    assert CallableBase._callable_obj(ref) is expected


def test_callable_obj_imports_submodule_named_in_the_reference():
    sys.modules.pop("json.tool", None)
    import json

    assert CallableBase._callable_obj("json:tool") is sys.modules["json.tool"]
    assert json.tool is sys.modules["json.tool"]


IMPORT_FAILURE = "解析引用 {ref} 时出错：无法导入模块 {mod}。"
LOOKUP_FAILURE = "解析引用 {ref} 时出错：查找对象 {rest} 时出错。"


@pytest.mark.parametrize("ref, exc, message, cause", [
    (b"os:path", TypeError, "引用必须是字符串，请检查输入类型。", None),
    (42, TypeError, "引用必须是字符串，请检查输入类型。", None),
    (None, TypeError, "引用必须是字符串，请检查输入类型。", None),
    ("os.path", ValueError, "无效的引用，引用格式应为 'module:name'。", None),
    ("", ValueError, "无效的引用，引用格式应为 'module:name'。", None),
    ("no_such_module_qq:f", LookupError, IMPORT_FAILURE.format(ref="no_such_module_qq:f", mod="no_such_module_qq"),
     ModuleNotFoundError),
    ("os.no_such_qq:f", LookupError, IMPORT_FAILURE.format(ref="os.no_such_qq:f", mod="os.no_such_qq"),
     ModuleNotFoundError),
    ("os:no_such_name", LookupError, LOOKUP_FAILURE.format(ref="os:no_such_name", rest="no_such_name"),
     AttributeError),
    ("os:", LookupError, LOOKUP_FAILURE.format(ref="os:", rest=""), AttributeError),
    ("os:path..join", LookupError, LOOKUP_FAILURE.format(ref="os:path..join", rest="path..join"), AttributeError),
    ("os:path.join.nope", LookupError, LOOKUP_FAILURE.format(ref="os:path.join.nope", rest="path.join.nope"),
     AttributeError),
    ("os:a:b", LookupError, LOOKUP_FAILURE.format(ref="os:a:b", rest="a:b"), AttributeError),
    (":join", ValueError, "Empty module name", None),     # not an ImportError: passed on as it is
], ids=repr)
def test_callable_obj_failures(ref, exc, message, cause):
    with pytest.raises(exc) as info:
        raw("_callable_obj")(CallableBase, ref)
    err = info.value
    assert type(err) is exc and str(err) == message
    if cause is None:
        assert err.__cause__ is None
    else:
        # `raise ... from exc` inside the except block.
        assert type(err.__cause__) is cause
        assert err.__suppress_context__ is True
        assert err.__context__ is err.__cause__
    assert CallableBase._callable_obj(ref) is None
    assert CallableBase._callable_obj(ref, except_result=[]) == []
    with pytest.raises(exc) as info:
        CallableBase._callable_obj(ref, except_result=SENTINEL)
    assert str(info.value) == "期望将引用字符串转换回对象，异常原因：{" + message + "}"
    assert info.value.__context__ is not None


def test_callable_obj_attribute_lookup_looks_for_colon_names():
    holder = types.ModuleType("valkin_test_colons")
    setattr(holder, "a:b", plain)
    sys.modules["valkin_test_colons"] = holder
    try:
        assert CallableBase._callable_obj("valkin_test_colons:a:b") is plain
    finally:
        del sys.modules["valkin_test_colons"]


@pytest.fixture
def module_dir(tmp_path, monkeypatch):
    """A directory on sys.path for throwaway modules, forgotten afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    before = set(sys.modules)
    yield tmp_path
    for name in set(sys.modules) - before:
        del sys.modules[name]


def test_callable_obj_module_raising_while_imported(module_dir):
    (module_dir / "valkin_boom_runtime.py").write_text("raise RuntimeError('boom while importing')\n")
    (module_dir / "valkin_boom_import.py").write_text("import valkin_no_such_dependency_qq\n")
    with pytest.raises(RuntimeError, match="^boom while importing$"):
        raw("_callable_obj")(CallableBase, "valkin_boom_runtime:f")
    assert CallableBase._callable_obj("valkin_boom_runtime:f") is None
    with pytest.raises(RuntimeError, match="^期望将引用字符串转换回对象，异常原因：{boom while importing}$"):
        CallableBase._callable_obj("valkin_boom_runtime:f", except_result=SENTINEL)
    with pytest.raises(LookupError) as info:
        raw("_callable_obj")(CallableBase, "valkin_boom_import:f")
    assert str(info.value) == IMPORT_FAILURE.format(ref="valkin_boom_import:f", mod="valkin_boom_import")
    assert info.value.__cause__.name == "valkin_no_such_dependency_qq"


def test_callable_obj_attribute_raising(module_dir):
    (module_dir / "valkin_props.py").write_text(
        "class Box:\n"
        "    @property\n"
        "    def broken(self):\n"
        "        raise KeyError('inside')\n"
        "box = Box()\n")
    with pytest.raises(LookupError) as info:
        raw("_callable_obj")(CallableBase, "valkin_props:box.broken")
    assert str(info.value) == LOOKUP_FAILURE.format(ref="valkin_props:box.broken", rest="box.broken")
    assert type(info.value.__cause__) is KeyError


def test_callable_obj_passes_base_exceptions(module_dir):
    (module_dir / "valkin_interrupt.py").write_text(
        "class Box:\n"
        "    @property\n"
        "    def stop(self):\n"
        "        raise KeyboardInterrupt\n"
        "box = Box()\n")
    with pytest.raises(KeyboardInterrupt):
        CallableBase._callable_obj("valkin_interrupt:box.stop", except_result=None)


def test_callable_obj_uses_import_fetched_at_module_import(monkeypatch):
    calls = []

    def spy(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    real = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", spy)
    assert CallableBase._callable_obj("os.path:join") is os.path.join
    assert calls == []


class OddRef(str):
    """A str subclass whose own methods are used, as the interpreter would."""

    def split(self, sep=None, maxsplit=-1):
        return ["os", "path.join"] if sep == ":" else ["path", "join"]

    def __contains__(self, item):
        return True


def test_callable_obj_str_subclass_methods_are_honoured():
    assert CallableBase._callable_obj(OddRef("no separator here")) is os.path.join


# ---- _callable_convert_obj ----------------------------------------------------------

@pytest.mark.parametrize("obj", [plain, 42, None, b"os:path", [1, 2]])
def test_convert_obj_leaves_non_strings(obj):
    assert CallableBase._callable_convert_obj(obj) is obj


@pytest.mark.parametrize("except_result", [None, SENTINEL, "fallback"])
def test_convert_obj_unresolvable_string_gives_none(except_result):
    assert CallableBase._callable_convert_obj("no colon", except_result=except_result) is None
    assert CallableBase._callable_convert_obj("os:nope", except_result=except_result) is None


def test_convert_obj_resolves_through_cls():
    class Mapped(CallableBase):
        @classmethod
        def _callable_obj(cls, ref, except_result=SENTINEL):
            return ("resolved", ref)

    assert Mapped._callable_convert_obj("anything") == ("resolved", "anything")
    assert Mapped._callable_convert_obj(plain) is plain


# ---- _callable_check_args -----------------------------------------------------------

def f_ab(a, b): ...
def f_posonly(a, /, b): ...
def f_posonly_kw(a, /, **kw): ...
def f_abc(a, b, c=3): ...
def f_kwonly(*, k): ...
def f_a(a): ...
def f_any(*args, **kw): ...
def f_mixed(a, /, b, c=3, *, d, e=5): ...


@functools.wraps(f_a)
def wrapped_any(*args, **kwargs):
    return f_a(*args, **kwargs)


class Built:
    def __init__(self, x, *, y=0):
        self.x = x


CONFLICT = "以下参数同时在 args 和 kwargs 中提供："
POSITIONAL_ONLY = "以下参数不能作为关键字参数提供："
MISSING = "以下参数未提供："
MISSING_KW = "以下仅关键字参数未在 kwargs 中提供："
TOO_MANY = "位置参数列表比目标可调用对象能处理的更长 (允许：{}, 提供的 args：{})"
UNEXPECTED = "目标可调用对象不接受以下关键字参数："


@pytest.mark.parametrize("func, args, kwargs, message", [
    (f_ab, (1,), {"b": 2}, None),
    (f_ab, (1, 2), {"b": 3}, CONFLICT + "b"),
    (f_ab, (1,), {"a": 5}, CONFLICT + "a"),          # a positional value was still unmatched at `a`
    (f_ab, (1, 2), {"a": 1, "b": 2}, CONFLICT + "a, b"),
    (f_posonly, (), {"a": 1, "b": 2}, POSITIONAL_ONLY + "a"),
    (f_posonly_kw, (), {"a": 1}, POSITIONAL_ONLY + "a"),
    (f_abc, (), {}, MISSING + "a, b"),
    (f_kwonly, (), {}, MISSING_KW + "k"),
    (f_a, (1, 2, 3), {}, TOO_MANY.format(1, 3)),
    (f_ab, (1, 2, 3, 4, 5), {}, TOO_MANY.format(2, 5)),
    (f_a, (1,), {"x": 1, "y": 2}, UNEXPECTED + "x, y"),
    (f_any, (1, 2, 3), {"x": 1}, None),
    (f_any, (), {}, None),
    (f_mixed, (1, 2), {"d": 4}, None),
    (f_mixed, (1,), {"b": 2, "d": 4, "e": 0}, None),
    # precedence: only the first kind of complaint is reported
    (f_abc, (), {"x": 1}, MISSING + "a, b"),
    (f_ab, (1, 2), {"b": 2, "zz": 0}, CONFLICT + "b"),
    (f_mixed, (), {"a": 1}, POSITIONAL_ONLY + "a"),
    (f_mixed, (1, 2, 3, 4), {}, MISSING_KW + "d"),
    (f_mixed, (1, 2, 3, 4), {"d": 1, "q": 2}, TOO_MANY.format(3, 4)),
    # bound methods lose their first parameter, classes use their constructor
    (Widget().spin, (), {}, None),
    (Widget().spin, (1,), {}, TOO_MANY.format(0, 1)),
    (Built, (1,), {"y": 2}, None),
    (Built, (), {"y": 2}, MISSING + "x"),
    # the wrapper's own signature counts, not the wrapped function's
    (wrapped_any, (1, 2, 3), {"q": 0}, None),
    # any sized iterable of values, any iterable of names
    (f_ab, [1], ["b"], None),
    (f_ab, range(3), ("b",), CONFLICT + "b"),
    (f_any, (x for x in range(3)), {}, None),
], ids=lambda v: v.__name__ if callable(v) else None)
def test_check_args(func, args, kwargs, message):
    if message is None:
        assert raw("_callable_check_args")(CallableBase, func, args, kwargs) is None
        assert CallableBase._callable_check_args(func, args, kwargs, except_result=SENTINEL) is None
        assert CallableBase._callable_check_args(func, args, kwargs, except_result=False) is None
    else:
        with pytest.raises(ValueError) as info:
            raw("_callable_check_args")(CallableBase, func, args, kwargs)
        assert str(info.value) == message
        with pytest.raises(ValueError) as info:
            CallableBase._callable_check_args(func, args, kwargs, except_result=SENTINEL)
        assert str(info.value) == "期望将引用字符串转换回对象，异常原因：{" + message + "}"
        assert CallableBase._callable_check_args(func, args, kwargs, except_result=False) is False
        assert CallableBase._callable_check_args(func, args, kwargs) is None


def test_check_args_positional_length_is_asked_of_args_itself():
    with pytest.raises(TypeError, match="has no len"):
        raw("_callable_check_args")(CallableBase, f_a, (x for x in range(3)), {})


def test_check_args_without_signature():
    with pytest.raises(ValueError) as info:
        raw("_callable_check_args")(CallableBase, _no_signature_builtin(), (), {})
    assert str(info.value) == "无法获取函数的签名，请检查函数是否有效。"
    assert type(info.value.__context__) is ValueError
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert CallableBase._callable_check_args(_no_signature_builtin(), (), {}, except_result="fb") == "fb"


def _no_signature_builtin():
    # A builtin that carries no signature information.
    for candidate in (vars, dict.pop, next):
        try:
            inspect.signature(candidate)
        except ValueError:
            return candidate
    pytest.skip("every candidate builtin has a signature")


class Unhashable:
    __hash__ = None

    def __call__(self, a):
        return a


@pytest.mark.parametrize("func, exc", [
    (42, TypeError),              # not callable: inspect's own TypeError
    (Unhashable(), TypeError),    # the cache needs a hashable callable
])
def test_check_args_other_failures_pass_unchanged(func, exc):
    with pytest.raises(exc) as info:
        raw("_callable_check_args")(CallableBase, func, (), {})
    assert "无法获取函数的签名" not in str(info.value)
    assert CallableBase._callable_check_args(func, (), {}, except_result="fb") == "fb"


def test_check_args_takes_the_keywords_before_the_signature():
    kwargs = {"a": 1}

    class Shrinking:
        """Empties the caller's keywords while its signature is read."""

        def __call__(self, a):
            return a

        @property
        def __signature__(self):
            kwargs.clear()
            return inspect.Signature([inspect.Parameter("a", inspect.Parameter.POSITIONAL_OR_KEYWORD)])

    assert raw("_callable_check_args")(CallableBase, Shrinking(), (), kwargs) is None


def test_check_args_signature_comes_through_cls():
    seen = []

    class Loose(CallableBase):
        @classmethod
        def _get_signature(cls, func):
            seen.append(func)
            return inspect.signature(f_any)

    assert Loose._callable_check_args(f_a, (1, 2, 3), {"x": 1}, except_result=False) is None
    assert seen == [f_a]


class Kind:
    """Stand-ins for parameter kinds compared by equality."""
    POSITIONAL_ONLY, POSITIONAL_OR_KEYWORD, VAR_POSITIONAL, KEYWORD_ONLY, VAR_KEYWORD = range(5)


class DuckParam:
    POSITIONAL_ONLY = Kind.POSITIONAL_ONLY
    POSITIONAL_OR_KEYWORD = Kind.POSITIONAL_OR_KEYWORD
    VAR_POSITIONAL = Kind.VAR_POSITIONAL
    KEYWORD_ONLY = Kind.KEYWORD_ONLY
    VAR_KEYWORD = Kind.VAR_KEYWORD
    empty = object()

    def __init__(self, name, kind, default=empty):
        self.name, self.kind, self.default = name, kind, default


class SignatureSubclass(inspect.Signature):
    __slots__ = ()


@pytest.mark.parametrize("make", [
    lambda sig: types.SimpleNamespace(parameters={
        p.name: DuckParam(p.name, int(p.kind), DuckParam.empty if p.default is p.empty else p.default)
        for p in sig.parameters.values()}),
    lambda sig: SignatureSubclass(list(sig.parameters.values())),
], ids=["duck-typed", "subclass"])
@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {"d": 4}, None),
    ((1, 2), {"b": 1, "d": 4}, CONFLICT + "b"),
    ((), {"a": 1, "b": 2, "d": 4}, POSITIONAL_ONLY + "a"),
    ((), {"d": 4}, MISSING + "a, b"),
    ((1, 2), {}, MISSING_KW + "d"),
    ((1, 2, 3, 4), {"d": 4}, TOO_MANY.format(3, 4)),
    ((1, 2), {"d": 4, "x": 0}, UNEXPECTED + "x"),
])
def test_check_args_any_signature_like_object(make, args, kwargs, message):
    class Custom(CallableBase):
        @classmethod
        def _get_signature(cls, func):
            return make(inspect.signature(func))

    check = raw("_callable_check_args")
    if message is None:
        assert check(Custom, f_mixed, args, kwargs) is None
    else:
        with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
            check(Custom, f_mixed, args, kwargs)


def test_check_args_many_distinct_signatures():
    # Each function has its own parameter names; a result that leaked from
    # another function's signature would name the wrong parameters.
    CallableBase._get_signature.cache_clear()
    for i in range(700):
        namespace = {}
        exec(f"def f(p{i}, *, k{i}): pass", namespace)
        with pytest.raises(ValueError) as info:
            raw("_callable_check_args")(CallableBase, namespace["f"], (), {})
        assert str(info.value) == f"{MISSING}p{i}"
        if i % 100 == 0:
            gc.collect()


def test_check_args_keyword_names_compared_by_equality():
    class Name(str):
        pass

    assert raw("_callable_check_args")(CallableBase, f_ab, (1,), {Name("b"): 2}) is None
    with pytest.raises(TypeError):   # names are joined into the message
        raw("_callable_check_args")(CallableBase, f_a, (1,), {3: 0})


# ---- _get_signature ------------------------------------------------------------------

@pytest.fixture
def empty_cache():
    CallableBase._get_signature.cache_clear()
    yield CallableBase._get_signature
    CallableBase._get_signature.cache_clear()


def test_get_signature_is_cached(empty_cache):
    first = CallableBase._get_signature(f_mixed)
    assert first == inspect.signature(f_mixed)
    assert CallableBase._get_signature(f_mixed) is first
    info = empty_cache.cache_info()
    assert (info.hits, info.misses, info.maxsize, info.currsize) == (1, 1, 128, 1)
    assert isinstance(vars(CallableBase)["_get_signature"], classmethod)
    assert empty_cache.__wrapped__.__name__ == "_get_signature"


def test_get_signature_evicts_least_recently_used(empty_cache):
    functions = []
    for i in range(129):
        namespace = {}
        exec(f"def f{i}(x): pass", namespace)
        functions.append(namespace[f"f{i}"])
    first = CallableBase._get_signature(functions[0])
    second = CallableBase._get_signature(functions[1])
    CallableBase._get_signature(functions[0])            # now the most recent
    for f in functions[2:]:
        CallableBase._get_signature(f)                   # the 129th distinct key drops functions[1]
    assert empty_cache.cache_info().currsize == 128
    assert CallableBase._get_signature(functions[0]) is first
    assert CallableBase._get_signature(functions[1]) is not second


def test_get_signature_key_includes_the_class(empty_cache):
    class Sub(CallableBase):
        pass

    CallableBase._get_signature(plain)
    Sub._get_signature(plain)
    assert empty_cache.cache_info().currsize == 2


def test_get_signature_does_not_follow_wrapped(empty_cache):
    assert str(CallableBase._get_signature(wrapped_any)) == "(*args, **kwargs)"


@pytest.mark.parametrize("func, exc", [(Unhashable(), TypeError), (42, TypeError)])
def test_get_signature_failures_pass_unchanged(empty_cache, func, exc):
    with pytest.raises(exc):
        CallableBase._get_signature(func)


def test_get_signature_uses_patched_signature(empty_cache, monkeypatch):
    calls = []

    def fake(func, *, follow_wrapped=True):
        calls.append(follow_wrapped)
        return "fake signature"

    monkeypatch.setattr(invoker, "signature", fake)
    assert CallableBase._get_signature(plain) == "fake signature"
    assert calls == [False]


# ---- _callable_coroutine ------------------------------------------------------------

class AsyncCallable:
    async def __call__(self):
        return None


@pytest.mark.parametrize("obj, expected", [
    (fetch, True),
    (plain, False),
    (functools.partial(fetch, "u"), True),
    (functools.partial(functools.partial(fetch, "u"), 1), True),
    (MyPartial(fetch), True),
    (functools.partial(plain), False),
    (Widget().load, True),
    (Widget().spin, False),
    (42, False),
    (Widget, False),
    (len, False),
    (AsyncCallable(), False),     # asyncio's own rules decide about instances
])
def test_callable_coroutine(obj, expected):
    assert CallableBase._callable_coroutine(obj) is expected


def test_callable_coroutine_patched_names(monkeypatch):
    monkeypatch.setattr(invoker, "iscoroutinefunction", lambda obj: ("asked", obj))
    assert CallableBase._callable_coroutine(functools.partial(plain)) == ("asked", plain)
    monkeypatch.setattr(invoker, "partial", Widget)
    gadget = Gadget()
    gadget.func = plain
    assert CallableBase._callable_coroutine(gadget) == ("asked", plain)


def test_callable_coroutine_failure_goes_to_guard(monkeypatch):
    def broken(obj):
        raise RuntimeError("cannot tell")

    monkeypatch.setattr(invoker, "iscoroutinefunction", broken)
    assert CallableBase._callable_coroutine(fetch) is None
    assert CallableBase._callable_coroutine(fetch, except_result="fb") == "fb"
    with pytest.raises(RuntimeError, match="^期望检查函数是否是协程函数，异常原因：{cannot tell}$"):
        CallableBase._callable_coroutine(fetch, except_result=SENTINEL)


def test_callable_ref_sees_a_patched_name_operation(monkeypatch):
    monkeypatch.setattr(CallableBase, "_callable_name", classmethod(lambda cls, obj: "Patched.name"))
    assert CallableBase._callable_ref(plain) == f"{HERE}:Patched.name"
    monkeypatch.setattr(CallableBase, "_callable_name", classmethod(lambda cls, obj: 1 / 0))
    with pytest.raises(ZeroDivisionError):      # not guarded any more, so it reaches _callable_ref's guard
        CallableBase._callable_ref(plain, except_result=SENTINEL)


def test_callable_name_sees_a_predicate_with_new_code(monkeypatch):
    monkeypatch.setattr(inspect.isfunction, "__code__", (lambda object: False).__code__)
    assert CallableBase._callable_name(plain) == "function"
    monkeypatch.undo()
    assert CallableBase._callable_name(plain) == "plain"


@pytest.mark.parametrize("patch, obj, expected", [
    # asyncio asks inspect first; a replaced inspect function is obeyed
    ((inspect, "iscoroutinefunction", lambda f: True), plain, True),
    ((inspect, "_has_code_flag", lambda f, flag: False), fetch, False),
    ((functools, "_unwrap_partialmethod", lambda f: fetch), plain, True),
    ((inspect.iscoroutinefunction, "__code__", (lambda obj: False).__code__), fetch, False),
], ids=["inspect.iscoroutinefunction", "inspect._has_code_flag", "functools._unwrap_partialmethod", "new-code"])
def test_callable_coroutine_follows_the_library(monkeypatch, patch, obj, expected):
    monkeypatch.setattr(*patch)
    assert CallableBase._callable_coroutine(obj) is expected
    assert CallableBase._callable_coroutine(functools.partial(obj)) is expected


def test_callable_coroutine_marked_functions():
    def marked():
        return None

    inspect.markcoroutinefunction(marked)
    assert CallableBase._callable_coroutine(marked) is True
    assert CallableBase._callable_coroutine(functools.partial(marked)) is True

    def flagged():
        return None

    flagged.__partialmethod__ = functools.partialmethod(fetch)
    assert CallableBase._callable_coroutine(flagged) is invoker.iscoroutinefunction(flagged)
