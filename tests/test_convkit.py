import decimal
import inspect
import math
import random
import struct
import sys
from decimal import ROUND_DOWN, ROUND_HALF_UP, Decimal, InvalidOperation

import pytest

from valkin.bases import convkit
from valkin.bases.convkit import CommonBase

SENTINEL = "valkin_except_result"
FLOAT_TEXT = "期望将 obj 对象转换为 float 类型"
BOOL_TEXT = "期望将 obj 对象转换为 bool 类型"


def same_decimal(got, expected):
    """Equal value and equal representation (coefficient, exponent, sign)."""
    return type(got) is Decimal and got.as_tuple() == Decimal(expected).as_tuple()


# ---- module and class ---------------------------------------------------------


def test_module_and_class_namespaces_in_order():
    names = [n for n in vars(convkit) if not n.startswith("__")]
    assert names == ["math", "Decimal", "ROUND_HALF_UP", "_valkin_except", "CommonBase"]
    assert convkit.math is math and convkit.Decimal is Decimal and convkit.ROUND_HALF_UP is ROUND_HALF_UP
    ops = [n for n in vars(CommonBase) if n.startswith("_to_")]
    assert ops == ["_to_str", "_to_int", "_to_float", "_to_decimal", "_to_bool"]
    assert CommonBase.__bases__ == (object,)


@pytest.mark.parametrize(
    "name, params",
    [
        ("_to_str", "(obj, except_result='valkin_except_result')"),
        ("_to_int", "(obj, ceil=False, floor=False, absolute=False, except_result='valkin_except_result')"),
        ("_to_float", "(obj, digits: 'int' = 2, except_result='valkin_except_result')"),
        ("_to_decimal", "(obj, digits: 'int' = 2, except_result='valkin_except_result')"),
        ("_to_bool", "(obj, except_result='valkin_except_result')"),
    ],
)
def test_metadata_of_each_operation(name, params):
    op = getattr(CommonBase, name)
    assert str(inspect.signature(op)) == params
    assert op.__name__ == name and op.__qualname__ == f"CommonBase.{name}"
    assert op.__module__ == "valkin.bases.convkit"
    assert isinstance(vars(CommonBase)[name], classmethod)
    first = op.__doc__.split("\n")[0]
    assert first.startswith(f"CommonBase.{name}(cls, obj")
    if name in ("_to_str", "_to_bool"):
        assert first == f"CommonBase.{name}(cls, obj, except_result='valkin_except_result')"
        assert len(op.__doc__.split("\n")) > 5  # a description follows


def test_digits_annotations_and_documented_texts():
    for op in (CommonBase._to_float, CommonBase._to_decimal):
        assert op.__annotations__ == {"digits": "int"}
    assert CommonBase._to_int.__annotations__ == {}
    assert CommonBase._to_float.__doc__.split("\n")[0] == (
        "CommonBase._to_float(cls, obj, int digits: int = 2, except_result='valkin_except_result')")
    doc = CommonBase._to_decimal.__doc__.split("\n")
    assert doc[0] == "CommonBase._to_decimal(cls, obj, int digits: int = 2, except_result='valkin_except_result')"
    assert doc[2] == "" and doc[-1] == "- 返回一个 Decimal 类型的对象，保留指定的小数位数，并进行四舍五入处理。"
    assert len(doc) == 10
    doc = CommonBase._to_int.__doc__.split("\n")
    assert len(doc) == 12 and doc[1] == "将给定的对象转换为整数类型。" and not doc[-1].endswith("\n")
    assert len(CommonBase._to_float.__doc__.split("\n")) == 13


# ---- _to_str ----------------------------------------------------------------------


class Text(str):
    pass


class LoudText(str):
    def __str__(self):
        return "loud"


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class Int(int):
    def __str__(self):
        return "custom"


def test_to_str_returns_an_exact_str_itself():
    s = "".join(["x", "y"])
    assert CommonBase._to_str(s) is s


@pytest.mark.parametrize(
    "obj",
    [12, 0, -1, 7, -9, 2**31, 2**63 - 1, -(2**63), 2**63, 2**64 + 1, -(10**40), True, False, None, 1.5,
     Decimal("1.10"), b"x", Int(5), Text("t"), LoudText("q")],
)
def test_to_str_matches_the_interpreters_str(obj):
    got = CommonBase._to_str(obj)
    assert got == str(obj) and type(got) is type(str(obj))


def test_to_str_failures():
    assert CommonBase._to_str(BadStr()) is None
    with pytest.raises(RuntimeError, match=r"^期望将 obj 对象转换为 str 类型，异常原因：\{no text\}$"):
        CommonBase._to_str(BadStr(), except_result=SENTINEL)
    huge = 10**5000  # beyond the interpreter's limit for int-to-text conversion
    assert CommonBase._to_str(huge) is None
    with pytest.raises(ValueError, match="Exceeds the limit"):
        CommonBase._to_str(huge, except_result=SENTINEL)


# ---- _to_decimal ------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (("3.5468",), "3.55"),
        (("2.675",), "2.68"),
        ((2.675,), "2.67"),  # the float lies just below 2.675
        (("2.5", 0), "3"),
        (("-2.5", 0), "-3"),
        (("7",), "7.00"),
        ((7,), "7.00"),
        ((-0.0,), "-0.00"),
        ((Decimal("1.005"), 2), "1.01"),
        ((0.5, 0), "1"),
        ((-0.5, 0), "-1"),
        (((0, (1, 2, 5), -2),), "1.25"),
        (("  1.234  ", 1), "1.2"),
        (("1_000.5", 0), "1001"),
        (("1.5", 27), "1.500000000000000000000000000"),
        ((2**80, 0), str(2**80)),
        (("1e-999999999", 5), "0.00000"),
    ],
)
def test_to_decimal_rounds_half_away_from_zero(args, expected):
    assert same_decimal(CommonBase._to_decimal(*args), expected)


def test_to_decimal_keeps_nan():
    assert CommonBase._to_decimal("NaN").is_nan()
    assert CommonBase._to_decimal(float("nan"), 3).is_nan()


@pytest.mark.parametrize(
    "args",
    [
        ("1.5", 30),  # 31 digits exceed the default precision
        (1, -1),  # the quantum text "1e--1" is not a number
        (float("inf"),),
        (float("-inf"), 0),
        ("Infinity",),
        ("abc",),
        (None,),
        ([1],),
        (2**100,),
        ("1e999999999",),
        (1, 10**30),
        (1, 10**5000),
        (1, 64),
    ],
)
def test_to_decimal_failures_give_the_fallback(args):
    assert CommonBase._to_decimal(*args) is None
    marker = object()
    assert CommonBase._to_decimal(*args, except_result=marker) is marker


@pytest.mark.parametrize("digits", [2.0, True, False, None, "2", Decimal(2), Int(2)])
def test_digits_must_be_exactly_an_int(digits):
    name = type(digits).__name__ if type(digits) is not Decimal else "decimal.Decimal"
    message = f"Argument 'digits' has incorrect type (expected int, got {name})"
    for op in (CommonBase._to_decimal, CommonBase._to_float):
        assert op(1, digits) is None
        assert op(1, digits=digits, except_result=0) == 0
        with pytest.raises(TypeError) as info:
            op(1, digits, except_result=SENTINEL)
        assert str(info.value) == f"{FLOAT_TEXT}，异常原因：{{{message}}}"


def test_to_decimal_re_raises_the_decimal_signal():
    with pytest.raises(InvalidOperation) as info:
        CommonBase._to_decimal("abc", except_result=SENTINEL)
    assert str(info.value).startswith(f"{FLOAT_TEXT}，异常原因：{{")
    assert isinstance(info.value.__context__, InvalidOperation)


def test_to_decimal_works_in_the_callers_context():
    with decimal.localcontext(prec=70):
        assert same_decimal(CommonBase._to_decimal("1.5", 30), "1." + "5" + "0" * 29)
        assert same_decimal(CommonBase._to_decimal("1", 64), "1." + "0" * 64)
    with decimal.localcontext(prec=3):
        assert CommonBase._to_decimal("12.345") is None
    with decimal.localcontext(traps=[decimal.Inexact]):
        assert CommonBase._to_decimal("1.234") is None
        assert same_decimal(CommonBase._to_decimal("1.2"), "1.20")
    with decimal.localcontext() as ctx:
        ctx.traps[InvalidOperation] = False
        assert CommonBase._to_decimal(1, -1).is_nan()
        assert ctx.flags[InvalidOperation]
    with decimal.localcontext() as ctx:
        ctx.clear_flags()
        CommonBase._to_decimal(2.5)
        assert ctx.flags[decimal.FloatOperation] and not ctx.flags[decimal.Inexact]
        CommonBase._to_decimal("2.555")
        assert ctx.flags[decimal.Inexact] and ctx.flags[decimal.Rounded]
    with decimal.localcontext(traps=[decimal.FloatOperation]):
        assert CommonBase._to_decimal(2.5) is None
        assert same_decimal(CommonBase._to_decimal("2.5"), "2.50")


def _python_decimal(obj, digits):
    return Decimal(obj).quantize(Decimal("1e-" + str(digits)), rounding=ROUND_HALF_UP)


def _sample_floats():
    rng = random.Random(20240611)
    floats = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 2.675, 3.5,
              1e22, 1e23, 2.0**53 + 2, 123456789.125, -2.5, 0.5]
    floats += [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
    floats += [rng.uniform(-1e6, 1e6) for _ in range(1000)] + [rng.randint(-10**6, 10**6) / 64 for _ in range(500)]
    return [f for f in floats if math.isfinite(f)]


def test_floats_convert_exactly_as_the_decimal_class_does():
    # Quantizing to the float's own exponent keeps Decimal(x) unchanged, so the
    # whole representation (sign, coefficient, exponent) must match.
    with decimal.localcontext(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN):
        for x in _sample_floats():
            exact = Decimal(x)
            places = -exact.as_tuple().exponent
            got = CommonBase._to_decimal(x, places)
            assert got is not None and got.as_tuple() == exact.as_tuple(), x


@pytest.mark.parametrize("obj", [2.5, -0.0, 1e300, 2.675, 0.1, 5e-324, "2.555", "1.5", Decimal("7.125"), 12, 2**90])
@pytest.mark.parametrize("digits", [0, 2, 5])
def test_context_flags_match_the_decimal_class(obj, digits):
    def flags_after(convert):
        with decimal.localcontext() as ctx:
            ctx.clear_flags()
            try:
                result = convert()
            except decimal.DecimalException as err:
                result = type(err)
            return result, {k: v for k, v in ctx.flags.items() if v}

    expected = flags_after(lambda: _python_decimal(obj, digits))
    got = flags_after(lambda: CommonBase._to_decimal(obj, digits, except_result=decimal.InvalidOperation))
    assert got == expected


@pytest.mark.parametrize("obj", [2.5, 0.1, -3.0])
def test_a_trapped_float_operation_surfaces_as_the_decimal_class_raises_it(obj):
    with decimal.localcontext(traps=[decimal.FloatOperation]) as ctx:
        ctx.clear_flags()
        with pytest.raises(decimal.FloatOperation) as own:
            Decimal(obj)
        with pytest.raises(decimal.FloatOperation) as info:
            CommonBase._to_decimal(obj, except_result=SENTINEL)
        assert str(info.value) == f"{FLOAT_TEXT}，异常原因：{{{own.value}}}"
        assert type(info.value.__context__) is type(own.value) and info.value.__context__.args == own.value.args
        assert CommonBase._to_int(obj) is None


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    assert same_decimal(CommonBase._to_decimal("2.5", 0), "3")  # quantum for 0 is now kept
    monkeypatch.setattr(convkit, "ROUND_HALF_UP", ROUND_DOWN)
    assert same_decimal(CommonBase._to_decimal("2.59", 1), "2.5")
    monkeypatch.undo()

    seen = []

    class Traced(Decimal):
        def __new__(cls, value="0"):
            seen.append(value)
            return super().__new__(cls, value)

    monkeypatch.setattr(convkit, "Decimal", Traced)
    got = CommonBase._to_decimal("2.5", 0)
    assert type(got) is Decimal and got == 3  # quantize of a subclass gives a Decimal
    assert seen == ["2.5", "1e-0"]
    assert CommonBase._to_int(Traced("2.5")) == 3  # isinstance against the name found now
    monkeypatch.delattr(convkit, "Decimal")
    assert CommonBase._to_decimal("1") is None
    with pytest.raises(NameError, match=r"\{name 'Decimal' is not defined\}"):
        CommonBase._to_decimal("1", except_result=SENTINEL)
    assert CommonBase._to_int("5") is None  # isinstance(obj, Decimal) needs the name too


def test_a_replaced_decimal_that_returns_other_objects(monkeypatch):
    class Fake:
        def __init__(self, value):
            self.value = value

        def quantize(self, quantum, rounding):
            return (self.value, quantum.value, rounding)

    monkeypatch.setattr(convkit, "Decimal", Fake)
    assert CommonBase._to_decimal("x", 3) == ("x", "1e-3", ROUND_HALF_UP)


# ---- _to_float --------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [(("3.14159",), 3.14), ((2.675,), 2.67), (("2.675",), 2.68), ((1, 0), 1.0), ((-1.005, 1), -1.0),
     ((Decimal("9.999"),), 10.0), (("abc",), None), ((None,), None), ((float("inf"),), None)],
)
def test_to_float(args, expected):
    got = CommonBase._to_float(*args)
    if expected is None:
        assert got is None
    else:
        assert type(got) is float and got == expected


def test_to_float_of_nan_text_is_a_nan():
    assert math.isnan(CommonBase._to_float("NaN"))


def test_to_float_reports_the_float_of_none_when_the_decimal_failed():
    with pytest.raises(TypeError) as info:
        CommonBase._to_float("abc", except_result=SENTINEL)
    assert str(info.value).startswith(f"{FLOAT_TEXT}，异常原因：{{")
    assert "NoneType" in str(info.value) and str(info.value).endswith("}")


def test_to_float_and_to_int_call_to_decimal_through_the_class():
    calls = []

    class Sub(CommonBase):
        @classmethod
        def _to_decimal(cls, obj, digits=2, except_result=SENTINEL):
            calls.append((cls, obj, digits))
            return Decimal("7.25")

    assert Sub._to_float("1", 4) == 7.25
    assert Sub._to_int(1.5) == 7
    assert Sub._to_int(Decimal("1.5")) == 7
    assert Sub._to_int("3") == 3
    assert Sub()._to_float("2") == 7.25
    assert calls == [(Sub, "1", 4), (Sub, 1.5, 0), (Sub, Decimal("1.5"), 0), (Sub, "2", 2)]

    class Broken(CommonBase):
        _to_decimal = None

    assert Broken._to_float("1") is None
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        Broken._to_int(1.5, except_result=SENTINEL)


# ---- _to_int ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((3.5,), {}, 4),
        ((2.5,), {}, 3),
        ((-2.5,), {}, -3),
        ((3.4999,), {}, 3),
        ((3.5468,), {"ceil": True, "floor": True}, 4),
        ((-3.5468,), {"ceil": True}, -3),
        ((-3.5468,), {"ceil": True, "absolute": True}, 3),
        ((-3.5468,), {"floor": True}, -4),
        ((-3.5468, False, 1), {}, -4),
        ((3.2, "yes"), {}, 4),  # flags are read by their truth value
        ((3.9, 0, [], ()), {}, 4),
        (("42",), {}, 42),
        ((" 42 ",), {}, 42),
        (("-7",), {"absolute": True}, 7),
        ((True,), {}, 1),
        ((Decimal("2.5"),), {}, 3),
        ((Decimal("-2.5"),), {"ceil": True}, -2),
        ((-7,), {"absolute": True}, 7),
        ((10**40,), {}, 10**40),
        ((1e20,), {}, 10**20),
        ((Int(9),), {}, 9),
    ],
)
def test_to_int(args, kwargs, expected):
    got = CommonBase._to_int(*args, **kwargs)
    assert type(got) is int and got == expected


@pytest.mark.parametrize(
    "text",
    ["0", "42", "0042", "-5", "+5", "4_2", "_42", "42_", "4__2", " 42", "42\n", "\x1c42", "42\x00", "", " ",
     "٤٢", "４２", "1e3", "0x10", "3.7", "9" * 18, "9" * 19, "-" + "9" * 25, "18446744073709551616",
     "9223372036854775807", "9223372036854775808", "1" * 5000],
)
def test_to_int_of_text_is_the_interpreters_int(text):
    try:
        expected = int(text)
    except ValueError:
        expected = None
    got = CommonBase._to_int(text)
    assert got == expected and type(got) is type(expected)
    sub = CommonBase._to_int(Text(text))
    assert sub == expected


@pytest.mark.parametrize(
    "args, kwargs",
    [(("3.7",), {}), (("3.7",), {"ceil": True}), (("x",), {"floor": True}), ((float("nan"),), {}),
     ((float("inf"),), {}), ((float("-inf"),), {"floor": True}), ((None,), {}), ((Decimal("sNaN"),), {}),
     ((Decimal("Infinity"),), {}), ((Decimal("1e999999"),), {}), ((1e300,), {})],
)
def test_to_int_failures(args, kwargs):
    assert CommonBase._to_int(*args, **kwargs) is None


def test_to_int_messages_name_the_outer_failure():
    with pytest.raises(ValueError, match=r"^期望将 obj 对象转换为 int 类型，异常原因：\{invalid literal"):
        CommonBase._to_int("3.7", except_result=SENTINEL)
    with pytest.raises(TypeError, match=r"\{must be real number, not str\}$"):
        CommonBase._to_int("3.7", ceil=True, except_result=SENTINEL)
    # the inner _to_decimal fails on infinity and hands None to int()
    with pytest.raises(TypeError, match="NoneType"):
        CommonBase._to_int(float("inf"), except_result=SENTINEL)


class BadBool:
    def __bool__(self):
        raise LookupError("no truth")


def test_to_int_flags_with_failing_truth_and_patched_math(monkeypatch):
    assert CommonBase._to_int(3.3, ceil=BadBool()) is None
    assert CommonBase._to_int(3.3, floor=BadBool()) is None
    assert CommonBase._to_int(3.3, ceil=True, floor=BadBool()) == 4  # floor is never read
    assert CommonBase._to_int(3.3, absolute=BadBool()) is None
    assert CommonBase._to_int("x", absolute=BadBool()) is None  # int() fails first

    class FakeMath:
        @staticmethod
        def ceil(x):
            return "12"

    monkeypatch.setattr(convkit, "math", FakeMath)
    assert CommonBase._to_int(1.0, ceil=True) == 12
    monkeypatch.delattr(FakeMath, "ceil")
    with pytest.raises(AttributeError, match="ceil"):
        CommonBase._to_int(1.0, ceil=True, except_result=SENTINEL)


# ---- _to_bool ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, expected",
    [
        ("  TRUE ", True), ("Yes", True), ("on", True), ("Y", True), ("t", True), ("1", True),
        ("False", False), (" no", False), ("OFF", False), ("n", False), ("F", False), ("0", False),
        ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f yes \x85\xa0", True),  # what str.strip() counts as whitespace
        ("\x1c\x1fNo\x1e \r", False),
        ("\x00no", None),
        ("\u3000ＯＮ\u2003", None),  # full-width letters are other words
        ("\u3000on\u2003", True),
        ("\u212a", None),  # KELVIN SIGN lowers to "k"
        ("ǸO", None),
        ("YES\u200b", None),  # a zero-width space is not whitespace
        ("ＴＲＵＥ".lower(), None),
        ("true1", None), ("", None), ("   ", None), ("yess", None), ("truee", None), ("tru", None),
        (Text(" Yes "), True), (Text("nO"), False), (Text("maybe"), None),
        (0, False), (None, False), ([], False), (2, True), ([0], True), (b"false", True), (0.0, False),
        (Decimal("0"), False), (float("nan"), True),
    ],
)
def test_to_bool(obj, expected):
    assert CommonBase._to_bool(obj) is expected


@pytest.mark.parametrize(
    "obj, shown",
    [(" Abc ", "abc"), ("", ""), ("   ", ""), ("\u3000ＹＥＳ ", "ｙｅｓ"), ("\u0130", "i\u0307"), (Text(" XY "), "xy"),
     ("A\u0000B", "a\x00b")],
)
def test_to_bool_refusal_message_carries_the_normalised_text(obj, shown):
    assert CommonBase._to_bool(obj, except_result=False) is False
    with pytest.raises(ValueError) as info:
        CommonBase._to_bool(obj, except_result=SENTINEL)
    assert str(info.value) == f'{BOOL_TEXT}，异常原因：{{无法将值 "{shown}" 解释为布尔值}}'
    assert str(info.value.__context__) == f'无法将值 "{shown}" 解释为布尔值'


def test_to_bool_empty_text_message_has_adjacent_quotes():
    with pytest.raises(ValueError) as info:
        CommonBase._to_bool("", except_result=SENTINEL)
    assert '无法将值 "" 解释为布尔值' in str(info.value)


def test_to_bool_of_str_subclasses_uses_their_methods():
    class Odd(str):
        def strip(self):
            return Odd("  YES  ")

        def lower(self):
            return "off"

    assert CommonBase._to_bool(Odd("true")) is False

    class Shout(str):
        def strip(self):
            return self

        def lower(self):
            return self.upper()

    assert CommonBase._to_bool(Shout("yes")) is None

    class Never(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

        def strip(self):
            return self

        def lower(self):
            return Never(str(self))

    assert CommonBase._to_bool(Never("yes")) is None

    class BadStrip(str):
        def strip(self):
            raise KeyError("strip")

    with pytest.raises(KeyError, match="strip"):
        CommonBase._to_bool(BadStrip("yes"), except_result=SENTINEL)


class BadLen:
    def __len__(self):
        raise OverflowError("len")


class HugeLen:
    def __len__(self):
        return 2**70


def test_to_bool_failing_truth_values():
    assert CommonBase._to_bool(BadBool()) is None
    assert CommonBase._to_bool(BadLen()) is None
    assert CommonBase._to_bool(HugeLen()) is None
    with pytest.raises(LookupError, match=r"^期望将 obj 对象转换为 bool 类型，异常原因：\{no truth\}$"):
        CommonBase._to_bool(BadBool(), except_result=SENTINEL)


def test_keyboard_interrupt_is_not_swallowed():
    class Stop:
        def __bool__(self):
            raise KeyboardInterrupt

        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        CommonBase._to_bool(Stop(), except_result=None)
    with pytest.raises(KeyboardInterrupt):
        CommonBase._to_str(Stop())


# ---- any object, never a crash, no leaks ------------------------------------------------


class Everything:
    """Every conversion hook raises."""

    def _boom(self, *args):
        raise RuntimeError("boom")

    __str__ = __repr__ = __bool__ = __len__ = __int__ = __index__ = __float__ = __trunc__ = _boom
    __ceil__ = __floor__ = __round__ = __format__ = _boom


class WrongTypes:
    def __str__(self):
        return 5

    def __int__(self):
        return "x"

    def __index__(self):
        return 1.5

    def __float__(self):
        return "y"

    def __bool__(self):
        return 2


ODD_OBJECTS = [
    Everything(), WrongTypes(), 10**400, -(10**400), float("nan"), float("-inf"), 5e-324, 1.7976931348623157e308,
    Decimal("1e999999999"), Decimal("-1e-999999999"), Decimal("sNaN"), Decimal("-NaN123"), "\ud800",
    "x" * 10000, Text("\x00"), b"\xff", object(), type, CommonBase, (1, (2,), 3), (0, (), "F"), complex(1, 2),
    Int(3), True,
]


@pytest.mark.parametrize("obj", ODD_OBJECTS, ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("op", ["_to_str", "_to_int", "_to_float", "_to_decimal", "_to_bool"])
def test_any_object_gives_a_result_or_the_fallback(op, obj):
    fallback = object()
    method = getattr(CommonBase, op)
    got = method(obj, except_result=fallback)
    assert got is fallback or got is not None
    try:
        method(obj, except_result=SENTINEL)
    except Exception as err:
        assert "，异常原因：{" in str(err)


def test_flags_and_digits_reach_the_fallback_too():
    for kwargs in ({"ceil": BadBool()}, {"floor": Everything()}, {"absolute": WrongTypes()}):
        assert CommonBase._to_int(1.5, **kwargs) is None
    assert CommonBase._to_int() is None
    assert CommonBase._to_decimal(1, 2, 3, 4) is None
    assert CommonBase._to_float(1, digit=2) is None


def test_no_reference_leaks():
    objs = [12, 3.5, "42", " Yes ", "maybe", Decimal("2.5"), None, BadBool(), float("inf"), 10**30, Text("on")]
    ops = [CommonBase._to_str, CommonBase._to_int, CommonBase._to_float, CommonBase._to_decimal,
           CommonBase._to_bool]
    fallback = object()

    def run():
        for _ in range(200):
            for obj in objs:
                for op in ops:
                    op(obj)
                    op(obj, except_result=fallback)
            CommonBase._to_decimal("1.5", 3)
            CommonBase._to_decimal("1.5", 70)
            CommonBase._to_int(-2.5, ceil=True, absolute=True)

    run()
    before = [sys.getrefcount(o) for o in objs + [fallback]]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    run()
    assert [sys.getrefcount(o) for o in objs + [fallback]] == before
    if total is not None:
        assert abs(sys.gettotalrefcount() - total) < 100


# ---- _to_int of a float, against the decimal route it stands for -----------------

FAILED = object()


def _plain_to_int(x):
    """int(cls._to_decimal(x, 0)) written out: None where the inner call fails."""
    try:
        d = Decimal(x).quantize(Decimal("1e-0"), rounding=ROUND_HALF_UP)
    except Exception:
        d = None
    try:
        return int(d)
    except Exception:
        return FAILED


class OwnContext(decimal.Context):
    pass


FLOATS = [0.0, -0.0, 0.5, -0.5, 1.5, 2.5, -2.5, 3.4999, 2.675, 0.49999999999999994, 1e-300, 5e-324,
          123456789.5, -987654321.25, 2.0**52 - 0.5, 2.0**52, -(2.0**52) + 0.5, 2.0**53 + 2, 1e15 + 0.5, 1e16,
          1e22, 1e300, 7.0]
CONTEXTS = [
    {},
    {"prec": 16},
    {"prec": 15},
    {"prec": 3},
    {"Emax": 16},
    {"Emax": 5},
    {"traps": [decimal.FloatOperation]},
    {"traps": [decimal.Inexact]},
    {"traps": [decimal.Rounded]},
    {"rounding": ROUND_DOWN},
]


@pytest.mark.parametrize("settings", CONTEXTS, ids=repr)
def test_to_int_of_floats_matches_the_decimal_route_in_every_context(settings):
    rng = random.Random(7)
    floats = FLOATS + [rng.uniform(-1e6, 1e6) for _ in range(300)] + [rng.randint(-99, 99) + 0.5 for _ in range(50)]
    for x in floats:
        with decimal.localcontext(**settings) as ctx:
            ctx.clear_flags()
            expected = _plain_to_int(x)
            expected_flags = {k for k, v in ctx.flags.items() if v}
            ctx.clear_flags()
            got = CommonBase._to_int(x, except_result=FAILED)
            got_flags = {k for k, v in ctx.flags.items() if v}
        assert (got, got_flags) == (expected, expected_flags), x
        with decimal.localcontext(**settings):
            assert CommonBase._to_int(x, absolute=True, except_result=FAILED) == (
                abs(expected) if isinstance(expected, int) else expected)


def test_to_int_of_floats_in_a_context_subclass_and_with_replaced_names(monkeypatch):
    ctx = OwnContext(prec=4)
    with decimal.localcontext(ctx):
        assert CommonBase._to_int(123456.5) is None  # needs more digits than the context holds
    seen = []

    class Spy(CommonBase):
        @classmethod
        def _to_decimal(cls, obj, digits=2, except_result=SENTINEL):
            seen.append((obj, digits))
            return Decimal("41")

    assert Spy._to_int(2.5) == 41 and seen == [(2.5, 0)]
    monkeypatch.setattr(convkit, "ROUND_HALF_UP", decimal.ROUND_HALF_EVEN)
    assert CommonBase._to_int(2.5) == 2
    monkeypatch.setattr(convkit, "Decimal", lambda x: Decimal(x) + 10)
    assert CommonBase._to_int(2.5) == 12
