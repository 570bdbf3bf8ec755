"""A short tour of valkin: each area called on real inputs, with what comes back.

    python -m valkin
"""
from __future__ import annotations


def show(expression: str, value: object) -> None:
    print(f"  {expression:60} -> {value!r}")


def show_raise(expression: str, call) -> None:
    try:
        value = call()
    except Exception as exc:  # the tour shows what a caller would receive
        print(f"  {expression:60} !! {type(exc).__name__}: {exc}")
    else:
        show(expression, value)


def tour_guardrail() -> None:
    from valkin.bases.guardrail import DecoratorBase, _valkin_except

    print("Exception guard")

    @_valkin_except("期望得到倒数")
    def inverse(x, except_result="valkin_except_result"):
        return 1 / x

    show("inverse(4)", inverse(4))
    show("inverse(0)", inverse(0))
    show("inverse(0, except_result=float('inf'))", inverse(0, except_result=float("inf")))
    show_raise("inverse(0, except_result='valkin_except_result')",
               lambda: inverse(0, except_result="valkin_except_result"))
    marker = DecoratorBase._undefined()
    show("DecoratorBase._undefined()", marker)
    show("bool(DecoratorBase._undefined())", bool(marker))


def tour_setops() -> None:
    from valkin.bases.setops import ListBase

    print("List operations")
    show("ListBase._list_diff([1, 2, 2, 3], [2])", ListBase._list_diff([1, 2, 2, 3], [2]))
    show("ListBase._list_set('abca')", sorted(ListBase._list_set("abca")))
    show("ListBase._list_intersect([1, 2, 3], (3, 4, 1))", ListBase._list_intersect([1, 2, 3], (3, 4, 1)))
    show("ListBase._list_set(5)", ListBase._list_set(5))
    show_raise("ListBase._list_set(5, except_result='valkin_except_result')",
               lambda: ListBase._list_set(5, except_result="valkin_except_result"))


def tour_convkit() -> None:
    from decimal import Decimal

    from valkin.bases.convkit import CommonBase

    print("Value conversion")
    show("CommonBase._to_str(12)", CommonBase._to_str(12))
    show("CommonBase._to_decimal('3.5468')", CommonBase._to_decimal("3.5468"))
    show("CommonBase._to_decimal(2.675)", CommonBase._to_decimal(2.675))
    show("CommonBase._to_float('2.675')", CommonBase._to_float("2.675"))
    show("CommonBase._to_int(2.5), _to_int(-2.5)", (CommonBase._to_int(2.5), CommonBase._to_int(-2.5)))
    show("CommonBase._to_int(-3.5468, ceil=True, absolute=True)",
         CommonBase._to_int(-3.5468, ceil=True, absolute=True))
    show("CommonBase._to_int(Decimal('7.5'))", CommonBase._to_int(Decimal("7.5")))
    show("CommonBase._to_bool(' Yes '), _to_bool('OFF'), _to_bool([])",
         (CommonBase._to_bool(" Yes "), CommonBase._to_bool("OFF"), CommonBase._to_bool([])))
    show("CommonBase._to_bool('maybe')", CommonBase._to_bool("maybe"))
    show_raise("CommonBase._to_bool('maybe', except_result='valkin_except_result')",
               lambda: CommonBase._to_bool("maybe", except_result="valkin_except_result"))
    show_raise("CommonBase._to_decimal(1, 2.0, except_result='valkin_except_result')",
               lambda: CommonBase._to_decimal(1, 2.0, except_result="valkin_except_result"))


def tour_keyforge() -> None:
    from valkin.bases.keyforge import AuthBase

    print("Identifiers and text cipher")

    class Node(AuthBase):  # a class of its own keeps its own counters
        pass

    Node.id_config(3, 1)
    first, second = Node.id_(), Node.id_()
    show("Node.id_config(3, 1); Node.id_()", first)
    show("Node.id_() > previous", second > first)
    show("(id >> 22, id >> 17 & 31, id >> 12 & 31, id & 4095)",
         (second >> 22, second >> 17 & 31, second >> 12 & 31, second & 4095))
    show_raise("Node.id_config(32, 0)", lambda: Node.id_config(32, 0))
    show_raise("Node.id_config(True, 0)", lambda: Node.id_config(True, 0))
    key = "0123456789abcdef"
    secret = AuthBase.auth_encode("你好, valkin", key)
    show("AuthBase.auth_encode('你好, valkin', key)", secret)
    show("AuthBase.auth_decode(_, key)", AuthBase.auth_decode(secret, key))
    show_raise("AuthBase.auth_decode(_, 'fedcba9876543210')",
               lambda: AuthBase.auth_decode(secret, "fedcba9876543210"))
    show_raise("AuthBase.auth_encode('x', 'short key')", lambda: AuthBase.auth_encode("x", "short key"))


def tour_fsops() -> None:
    import os
    import tempfile

    from valkin.bases.fsops import PathBase

    print("Filesystem")
    with tempfile.TemporaryDirectory() as tmp:
        proj = os.path.join(tmp, "proj")
        os.makedirs(os.path.join(proj, "src", "util"))
        os.makedirs(os.path.join(proj, "build"))
        notes = os.path.join(proj, "notes.txt")
        show("PathBase._path_normal('a//b/../c/')", PathBase._path_normal("a//b/../c/"))
        show("PathBase._path_write(notes, 'first  \\nsecond\\n')", PathBase._path_write(notes, "first  \nsecond\n"))
        show("PathBase._path_exists(notes)", PathBase._path_exists(notes))
        show("PathBase._path_readlines(notes)", PathBase._path_readlines(notes))
        show("list(PathBase._path_readline(notes))", list(PathBase._path_readline(notes)))
        show("PathBase._path_write(notes, b'bytes')  # text mode", PathBase._path_write(notes, b"bytes"))
        show("PathBase._path_read(notes)  # untouched", PathBase._path_read(notes))
        PathBase._path_writelines(os.path.join(proj, "src", "m.py"), ["import os\n"])
        PathBase._path_write(os.path.join(proj, "src", "util", "u.py"), "")
        PathBase._path_write(os.path.join(proj, "build", "x.o"), b"\x7fELF", mode="wb")
        show("PathBase._path_file_dict(proj, skip_dir=['build'])",
             sorted(PathBase._path_file_dict(proj, skip_dir=["build"]).items()))
        show("len(PathBase._path_file_list(proj))", len(PathBase._path_file_list(proj)))
        copy = os.path.join(tmp, "copy.txt")
        show("PathBase._path_copy(notes, copy)", PathBase._path_copy(notes, copy))
        show("PathBase._path_copy(notes, copy)  # never overwrites", PathBase._path_copy(notes, copy))
        show_raise("PathBase._path_move(notes, copy, except_result='valkin_except_result')",
                   lambda: PathBase._path_move(notes, copy, except_result="valkin_except_result"))
        show("PathBase._path_delete(proj)", PathBase._path_delete(proj))


def tour_invoker() -> None:
    import os.path
    from functools import partial

    from valkin.bases.invoker import CallableBase
    from valkin.bases.setops import ListBase

    print("Callable references")

    async def fetch(url, timeout=1):
        return url, timeout

    def connect(host, port, /, *, secure=False):
        return host, port, secure

    show("CallableBase._callable_name(ListBase._list_set)", CallableBase._callable_name(ListBase._list_set))
    ref = CallableBase._callable_ref(os.path.join)
    show("CallableBase._callable_ref(os.path.join)", ref)
    show(f"CallableBase._callable_obj({ref!r}) is os.path.join", CallableBase._callable_obj(ref) is os.path.join)
    show_raise("CallableBase._callable_ref(lambda: 0, except_result='valkin_except_result')",
               lambda: CallableBase._callable_ref(lambda: 0, except_result="valkin_except_result"))
    show_raise("CallableBase._callable_obj('os:no_such_name', except_result='valkin_except_result')",
               lambda: CallableBase._callable_obj("os:no_such_name", except_result="valkin_except_result"))
    show("CallableBase._callable_check_args(connect, ('db', 5432), {}, except_result=False)",
         CallableBase._callable_check_args(connect, ("db", 5432), {}, except_result=False))
    show_raise("CallableBase._callable_check_args(connect, (), {'host': 'db'}, except_result='valkin_except_result')",
               lambda: CallableBase._callable_check_args(connect, (), {"host": "db"},
                                                         except_result="valkin_except_result"))
    show("CallableBase._callable_coroutine(partial(partial(fetch, 'u'), 2))",
         CallableBase._callable_coroutine(partial(partial(fetch, "u"), 2)))


def main() -> None:
    for step in (tour_guardrail, tour_setops, tour_convkit, tour_keyforge, tour_fsops, tour_invoker):
        step()
        print()


if __name__ == "__main__":
    main()
