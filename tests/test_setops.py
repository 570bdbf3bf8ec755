import pytest

from valkin.bases import setops
from valkin.bases.setops import ListBase

SENTINEL = "valkin_except_result"


def gen(*items):
    yield from items


@pytest.mark.parametrize(
    "op, args, expected",
    [
        ("_list_diff", ([1, 2, 2, 3], [2]), list({1, 3})),
        ("_list_diff", ([], [1]), []),
        ("_list_diff", ("abc", gen("b")), list(set("abc") - {"b"})),
        ("_list_set", ([],), []),
        ("_list_set", ("abca",), list(set("abca"))),
        ("_list_set", ({"k": 1},), ["k"]),
        ("_list_set", (gen(3, 3, 4),), list({3, 4})),
        ("_list_intersect", ([1], []), []),
        ("_list_intersect", ([1, 2, 3], (3, 4, 1)), list({1, 3})),
        ("_list_intersect", ([1, 2, 3], {3, 4, 1}), list({1, 3})),
        ("_list_intersect", ([1, 2, 3], gen(3, 4, 1)), list({1, 3})),
    ],
)
def test_results_follow_the_interpreters_sets(op, args, expected):
    assert getattr(ListBase, op)(*args) == expected


def test_equal_but_distinct_elements_keep_the_survivor_set_gives():
    mixed = [1, 1.0, True, 2.0, 2]
    result = ListBase._list_set(mixed)
    assert result == list(set(mixed))
    assert [type(x) for x in result] == [type(x) for x in set(mixed)]
    inter = ListBase._list_intersect([1.0, 2], [True, 2.0])
    assert [type(x) for x in inter] == [type(x) for x in set([1.0, 2]) & set([True, 2.0])]


def test_order_is_set_iteration_order_not_input_order():
    data = [33, 1, 17, 2, 65]
    assert ListBase._list_set(data) == list(set(data))
    assert ListBase._list_diff(data, [1]) == list(set(data) - {1})


def test_result_is_always_a_new_list():
    data = [1, 2, 3]
    assert ListBase._list_set(data) is not data
    assert ListBase._list_diff(data, []) is not data


def test_keywords_and_instances_and_subclasses():
    assert ListBase._list_diff(right=[2], left=[1, 2]) == [1]
    assert ListBase()._list_set(left=[1, 1]) == [1]
    Sub = type("Sub", (ListBase,), {})
    assert Sub._list_intersect([1, 2], [2]) == [2]


class Unhashable:
    __hash__ = None


class BadHash:
    def __hash__(self):
        raise ArithmeticError("no hash")


class BadEq:
    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise LookupError("no eq")


def failing_iter():
    yield 1
    raise RuntimeError("midway")


@pytest.mark.parametrize(
    "op, args, exc, reason",
    [
        ("_list_set", (5,), TypeError, "'int' object is not iterable"),
        ("_list_diff", ([[1]], []), TypeError, "unhashable type: 'list'"),
        ("_list_diff", ([1], None), TypeError, "'NoneType' object is not iterable"),
        ("_list_intersect", ([{}], [1]), TypeError, "unhashable type: 'dict'"),
        ("_list_set", ([Unhashable()],), TypeError, "unhashable type: 'Unhashable'"),
        ("_list_set", ([BadHash()],), ArithmeticError, "no hash"),
        ("_list_set", ([BadEq(), BadEq()],), LookupError, "no eq"),
        ("_list_set", (failing_iter(),), RuntimeError, "midway"),
    ],
)
def test_failures_give_the_fallback_or_the_composed_error(op, args, exc, reason):
    texts = {
        "_list_diff": "期望获取 left 中存在但 right 中不存在的数据",
        "_list_set": "期望获取 list 的集合",
        "_list_intersect": "期望获取两个 list 的交集",
    }
    method = getattr(ListBase, op)
    fresh = lambda: tuple(failing_iter() if a.__class__.__name__ == "generator" else a for a in args)
    assert method(*fresh()) is None
    fallback = []
    assert method(*fresh(), except_result=fallback) is fallback
    with pytest.raises(exc) as info:
        method(*fresh(), except_result=SENTINEL)
    assert type(info.value) is exc
    expected = texts[op] + "，异常原因：{" + reason + "}"
    assert (info.value.args[0] if exc is LookupError else str(info.value)) == expected


def test_keyboard_interrupt_from_the_input_passes_through():
    def interrupted():
        yield 1
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ListBase._list_set(interrupted(), except_result=[])


def test_large_input():
    data = list(range(100_000)) * 2
    assert sorted(ListBase._list_set(data)) == list(range(100_000))


def test_namespaces_and_docs():
    assert [n for n in vars(setops) if not n.startswith("__")] == ["_valkin_except", "ListBase"]
    from valkin.bases.guardrail import _valkin_except

    assert setops._valkin_except is _valkin_except
    assert [n for n in vars(ListBase) if not n.startswith("__")] == ["_list_diff", "_list_set", "_list_intersect"]
    assert ListBase.__bases__ == (object,)
    assert ListBase.__module__ == "valkin.bases.setops"
    doc = ListBase._list_set.__doc__.split("\n")
    assert doc[0] == "ListBase._list_set(cls, left, except_result='valkin_except_result')"
    assert doc[-1] == "  并返回 except_result 指定的默认值。"
    assert len(doc) == 14
    assert len(ListBase._list_diff.__doc__.split("\n")) == 11
    assert ListBase._list_intersect.__doc__.split("\n")[12] == "- list: 两个列表的交集，如果发生异常则返回 except_result。"
