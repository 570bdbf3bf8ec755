import functools
import gc
import inspect
import pickle
import sys

import pytest

from valkin.bases import guardrail
from valkin.bases.guardrail import DecoratorBase, _Undefined, _valkin_except
from valkin.bases.setops import ListBase

SENTINEL = "valkin_except_result"


def guarded(text="期望完成操作"):
    """A guarded plain function that raises whatever it is handed."""

    @_valkin_except(text)
    def op(exc=None, value="ok", except_result=SENTINEL):
        if exc is not None:
            raise exc
        return value

    return op


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


# ---- the fallback table ------------------------------------------------------

FALLBACK = object()


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, None),
        ({"except_result": None}, None),
        ({"except_result": FALLBACK}, FALLBACK),
        ({"except_result": 0}, 0),
        ({"except_result": "other text"}, "other text"),
    ],
    ids=["absent", "none", "object", "zero", "other-str"],
)
def test_failure_returns_the_fallback_itself(kwargs, expected):
    assert guarded()(ValueError("boom"), **kwargs) is expected


def test_fallback_list_is_the_same_object():
    fallback = []
    assert guarded()(ValueError("boom"), except_result=fallback) is fallback


def test_fallback_given_by_position_does_not_reach_the_guard():
    op = guarded()
    assert op(ValueError("boom"), "v", []) is None


@pytest.mark.parametrize("fallback", [SENTINEL, "".join(["valkin_", "except_result"]), EqualsEverything()])
def test_fallback_equal_to_the_sentinel_reraises(fallback):
    with pytest.raises(ValueError, match="^期望完成操作，异常原因：{boom}$"):
        guarded()(ValueError("boom"), except_result=fallback)


def test_success_returns_the_result_unchanged_whatever_the_fallback():
    value = object()
    op = guarded()
    assert op(value=value) is value
    assert op(value=value, except_result=SENTINEL) is value
    assert op(value=value, except_result=[]) is value


# ---- composed messages -----------------------------------------------------------

@pytest.mark.parametrize(
    "err, message",
    [
        (ValueError("boom"), "期望完成操作，异常原因：{boom}"),
        (ValueError(), "期望完成操作，异常原因：{}"),
        (KeyError("a"), "期望完成操作，异常原因：{'a'}"),
        (OSError(2, "No such file"), "期望完成操作，异常原因：{[Errno 2] No such file}"),
        (ZeroDivisionError("division by zero"), "期望完成操作，异常原因：{division by zero}"),
    ],
)
def test_reraise_has_same_class_and_composed_message(err, message):
    with pytest.raises(type(err)) as info:
        guarded()(err, except_result=SENTINEL)
    raised = info.value
    assert type(raised) is type(err)
    assert str(raised) == message if not isinstance(err, KeyError) else raised.args[0] == message
    assert raised.__context__ is err
    assert raised.__cause__ is None
    assert raised is not err


def test_expectation_text_goes_through_str():
    class Text:
        def __str__(self):
            return "期望"

    with pytest.raises(ValueError, match="^期望，异常原因：{x}$"):
        guarded(Text())(ValueError("x"), except_result=SENTINEL)


class NeedsTwo(ValueError):
    def __init__(self, a, b):
        super().__init__(a, b)


@pytest.mark.parametrize(
    "err, expected_class",
    [
        (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), UnicodeError),
        (NeedsTwo("a", "b"), ValueError),
    ],
)
def test_class_that_cannot_take_one_message_falls_back_along_its_mro(err, expected_class):
    with pytest.raises(expected_class) as info:
        guarded()(err, except_result=SENTINEL)
    assert type(info.value) is expected_class
    assert str(info.value) == "期望完成操作，异常原因：{" + str(err) + "}"
    assert info.value.__context__ is err


def test_class_returning_a_non_exception_fails_like_raise():
    class Odd(Exception):
        def __new__(cls, *args):
            if args and isinstance(args[0], str) and args[0].startswith("期望"):
                return 42
            return super().__new__(cls, *args)

    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        guarded()(Odd("x"), except_result=SENTINEL)


def test_errors_inside_the_handler_propagate_with_the_caught_error_as_context():
    class BadEq:
        def __eq__(self, other):
            raise RuntimeError("eq failed")

        __hash__ = object.__hash__

    err = ValueError("boom")
    with pytest.raises(RuntimeError, match="eq failed") as info:
        guarded()(err, except_result=BadEq())
    assert info.value.__context__ is err

    class BadStr(Exception):
        def __str__(self):
            raise LookupError("no text")

    err = BadStr()
    with pytest.raises(LookupError, match="no text") as info:
        guarded()(err, except_result=SENTINEL)
    assert info.value.__context__ is err
    # Without the sentinel nothing is composed, so nothing fails.
    assert guarded()(BadStr()) is None


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_base_exceptions_pass_untouched(exc):
    with pytest.raises(type(exc)) as info:
        guarded()(exc, except_result=SENTINEL)
    assert info.value is exc
    with pytest.raises(type(exc)):
        guarded()(exc, except_result=[])


def test_the_handled_exception_is_restored_afterwards():
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert guarded()(ValueError("inner")) is None
        assert sys.exception() is outer


def test_generator_is_guarded_only_while_created():
    @_valkin_except("期望生成")
    def gen(except_result=SENTINEL):
        yield 1
        raise ValueError("late")

    it = gen()
    assert next(it) == 1
    with pytest.raises(ValueError, match="^late$"):
        next(it)


# ---- argument binding --------------------------------------------------------------

def python_twin(qualname, params):
    """A Python function with the same parameters and qualified name."""
    ns = {}
    exec(f"def f({params}): pass", ns)
    ns["f"].__qualname__ = qualname
    return ns["f"]


def binding_error(func, args, kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    return str(info.value)


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3, 4, 5), {}),
    ((1, 2, 3, 4, 5, 6), {}),
    ((1,), {"left": 2}),
    ((1, 2), {"right": 3, "left": 4}),
    ((1, 2, 3), {"x": 1}),
    ((1, 2, 3), {"lef": 1}),
    ((1, 2, 3), {"Left": 1}),
    ((1, 2, 3), {"except_reslt": 1}),
    ((1, 2, 3), {"cls_": 1}),
    ((1, 2, 3), {"qqqqqqqqqqqq": 1}),
    ((1, 2, 3, 4, 5), {"left": 1}),
    ((), {"right": 1}),
    ((), {"except_result": 1}),
    ((1, 2, 3), {"\udcff": 1}),
    ((1, 2, 3), {"l" * 60: 1}),
]


@pytest.mark.parametrize("args, kwargs", CALLS)
def test_binding_errors_match_a_python_function(args, kwargs):
    raw = ListBase.__dict__["_list_diff"].__func__.__wrapped__
    twin = python_twin("ListBase._list_diff", "cls, left, right, except_result='valkin_except_result'")
    assert binding_error(raw, args, kwargs) == binding_error(twin, args, kwargs)


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1, 2, 3), {}), ((), {"x": 1}), ((1,), {"left": 2}), ((), {"lfet": 1})]
)
def test_binding_errors_reach_the_caller_through_the_guard(args, kwargs):
    twin = python_twin("ListBase._list_set", "cls, left, except_result='valkin_except_result'")
    expected = binding_error(twin, (ListBase, *args), {**kwargs, "except_result": SENTINEL})
    with pytest.raises(TypeError) as info:
        ListBase._list_set(*args, **kwargs, except_result=SENTINEL)
    assert str(info.value) == "期望获取 list 的集合，异常原因：{" + expected + "}"
    assert ListBase._list_set(*args, **kwargs) is None


def test_binding_errors_of_functions_without_defaults():
    twin = python_twin("DecoratorBase._undefined", "cls")
    for args in [(), (1, 2), (1, 2, 3)]:
        assert binding_error(DecoratorBase.__dict__["_undefined"].__func__, args, {}) == binding_error(
            twin, args, {}
        )
    assert binding_error(DecoratorBase._undefined, (1,), {}) == binding_error(twin, (DecoratorBase, 1), {})


# ---- metadata ------------------------------------------------------------------

def test_wraps_metadata_and_signature_through_the_guard():
    wrapper = ListBase.__dict__["_list_diff"].__func__
    raw = wrapper.__wrapped__
    assert wrapper.__name__ == raw.__name__ == "_list_diff"
    assert wrapper.__qualname__ == "ListBase._list_diff"
    assert wrapper.__module__ == "valkin.bases.setops"
    assert wrapper.__doc__ == raw.__doc__
    assert wrapper.__doc__.splitlines()[0] == (
        "ListBase._list_diff(cls, left, right, except_result='valkin_except_result')"
    )
    assert wrapper.__type_params__ == ()
    assert str(inspect.signature(wrapper)) == "(cls, left, right, except_result='valkin_except_result')"
    assert str(inspect.signature(ListBase._list_diff)) == "(left, right, except_result='valkin_except_result')"
    params = inspect.signature(raw).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["except_result"].default == SENTINEL


def test_guard_wraps_python_functions_like_functools():
    def target(a, b=2, *, c: int = 3, except_result=SENTINEL) -> int:
        """doc"""
        return a

    target.extra = "kept"
    wrapper = _valkin_except("期望")(target)
    assert wrapper.__wrapped__ is target
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.extra) == (
        "target", target.__qualname__, "doc", "kept")
    assert wrapper.__annotations__ == target.__annotations__
    assert inspect.signature(wrapper) == inspect.signature(target)
    assert functools.wraps(wrapper)(lambda: None).__wrapped__ is wrapper


def test_factory_and_decorator_are_fresh_functions():
    d1, d2 = _valkin_except("a"), _valkin_except("a")
    assert d1 is not d2
    assert d1.__name__ == "decorator"
    assert d1.__qualname__ == "_valkin_except.<locals>.decorator"
    assert _valkin_except.__doc__ == "_valkin_except(exception)"
    assert _valkin_except.__module__ == "valkin.bases.guardrail"
    assert str(inspect.signature(_valkin_except)) == "(exception)"
    assert str(inspect.signature(d1)) == "(func)"

    def f(except_result=SENTINEL):
        return 1

    assert d1(f) is not d1(func=f)
    assert _valkin_except(exception="x")(f)() == 1


def test_decorator_uses_the_wraps_bound_in_the_module_at_call_time(monkeypatch):
    seen = []

    def spy(func):
        seen.append(func)
        return functools.wraps(func)

    monkeypatch.setattr(guardrail, "wraps", spy)

    def f(except_result=SENTINEL):
        return 1

    assert _valkin_except("x")(f)() == 1
    assert seen == [f]


# ---- namespaces, the accessor class, the marker -----------------------------------

def public(names):
    return [n for n in names if not (n.startswith("__") and n.endswith("__"))]


def test_namespace_orders():
    assert public(vars(guardrail)) == ["wraps", "DecoratorBase", "_valkin_except", "_Undefined"]
    assert guardrail.wraps is functools.wraps
    assert public(vars(DecoratorBase)) == ["_get_valkin_except", "_undefined"]
    assert [n for n in vars(_Undefined) if n in ("__nonzero__", "__bool__", "__repr__")] == [
        "__nonzero__", "__bool__", "__repr__"]
    assert DecoratorBase.__bases__ == (object,) and _Undefined.__bases__ == (object,)
    assert DecoratorBase.__module__ == "valkin.bases.guardrail"
    assert isinstance(vars(DecoratorBase)["_undefined"], classmethod)
    assert isinstance(vars(_Undefined)["__nonzero__"], staticmethod)


@pytest.mark.parametrize("owner", [DecoratorBase, DecoratorBase(), type("Sub", (DecoratorBase,), {})])
def test_accessors_on_class_instance_and_subclass(owner):
    assert owner._get_valkin_except() is _valkin_except
    marker = owner._undefined()
    assert type(marker) is _Undefined
    assert not marker and bool(marker) is False
    assert repr(marker) == str(marker) == "<undefined>"
    other = owner._undefined()
    assert marker is not other and not (marker == other)
    assert hash(marker) == object.__hash__(marker)


def test_marker_methods():
    marker = _Undefined()
    assert _Undefined.__nonzero__() is False
    assert marker.__nonzero__() is False
    assert marker.__bool__() is False
    assert _Undefined.__bool__(marker) is False
    assert _Undefined.__repr__.__doc__ == "_Undefined.__repr__(self)"
    with pytest.raises(TypeError):
        _Undefined.__nonzero__(1)


def test_accessors_look_names_up_at_call_time(monkeypatch):
    replacement = object()
    monkeypatch.setattr(guardrail, "_valkin_except", replacement)
    assert DecoratorBase._get_valkin_except() is replacement
    monkeypatch.setattr(guardrail, "_Undefined", lambda: "made")
    assert DecoratorBase._undefined() == "made"
    monkeypatch.delattr(guardrail, "_Undefined")
    with pytest.raises(NameError, match="name '_Undefined' is not defined"):
        DecoratorBase._undefined()


def test_classes_pickle_by_reference():
    for cls in (DecoratorBase, _Undefined, ListBase):
        assert pickle.loads(pickle.dumps(cls)) is cls
    assert pickle.loads(pickle.dumps(_valkin_except)) is _valkin_except
    assert pickle.loads(pickle.dumps(ListBase._list_set))([1, 1]) == [1]


def test_no_reference_leaks_on_success_and_failure():
    fallback, data, err = object(), [3, 1, 3], ValueError("x")
    op = guarded()
    before = [sys.getrefcount(o) for o in (fallback, data, err)]
    for _ in range(2000):
        ListBase._list_set(data, except_result=fallback)
        op(err, except_result=fallback)
        try:
            op(err, except_result=SENTINEL)
        except ValueError:
            pass
    gc.collect()
    err.__traceback__ = None
    assert [sys.getrefcount(o) for o in (fallback, data, err)] == before
