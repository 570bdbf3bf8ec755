from functools import partial

from run import Case

from reference.invoker import CallableBase as Reference
from valkin.bases.invoker import CallableBase


def five(a, /, b, c=3, *, d, e=5):
    return a, b, c, d, e


class Widget:
    def spin(self):
        return self


async def fetch(url, timeout):
    return url, timeout


def cases():
    env = {"CallableBase": CallableBase, "Reference": Reference, "five": five, "Widget": Widget,
           "method": Widget().spin, "twice": partial(partial(fetch, "u"), 1)}
    # Both classes keep their own signature cache; warm them so every timed
    # check is served from it.
    for cls in (CallableBase, Reference):
        cls._get_signature(five)

    checks = [
        ("fit", "(1, 2), {'d': 4}"),
        ("in args and kwargs", "(1, 2), {'b': 2, 'd': 4}"),
        ("positional-only by keyword", "(), {'a': 1, 'b': 2, 'd': 4}"),
        ("missing positional", "(1,), {'d': 4}"),
        ("missing keyword-only", "(1, 2), {}"),
        ("too many positional", "(1, 2, 3, 4), {'d': 4}"),
        ("unexpected keyword", "(1, 2), {'d': 4, 'x': 0}"),
    ]
    result = []
    for label, arguments in checks:
        call = f"._callable_check_args(five, {arguments}, except_result=False)"
        result.append(Case(f"invoker: _callable_check_args five params, {label}", "CallableBase" + call,
                           "Reference" + call, env, target=4.0))
    for op in ("_callable_name", "_callable_ref"):
        for label, obj in (("function", "five"), ("bound method", "method"), ("class", "Widget")):
            result.append(Case(f"invoker: {op}({label})", f"CallableBase.{op}({obj})", f"Reference.{op}({obj})",
                               env, target=3.0))
    result += [
        Case("invoker: _callable_obj('os.path:join')", "CallableBase._callable_obj('os.path:join')",
             "Reference._callable_obj('os.path:join')", env, target=1.5),
        Case("invoker: _callable_coroutine(partial(partial(async)))", "CallableBase._callable_coroutine(twice)",
             "Reference._callable_coroutine(twice)", env, target=1.5),
        Case("invoker: _callable_convert_obj('os.path:join')", "CallableBase._callable_convert_obj('os.path:join')",
             "Reference._callable_convert_obj('os.path:join')", env),
        Case("invoker: _get_signature(five), cached", "CallableBase._get_signature(five)",
             "Reference._get_signature(five)", env),
    ]
    return result
