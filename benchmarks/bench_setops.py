from run import Case

from reference.setops import ListBase as Reference
from valkin.bases.setops import ListBase


def cases():
    big = list(range(1000)) * 2
    env = {"ListBase": ListBase, "Reference": Reference, "x": (), "big": big, "a": list(range(0, 300)),
           "b": list(range(150, 450))}
    return [
        # The guard, the class-method call and the binding together cost at
        # most a quarter of the inline work on an empty tuple.
        Case("setops: _list_set(()) vs inline list(set(list(x)))", "ListBase._list_set(x)",
             "list(set(list(x)))", env, target=1 / 1.25),
        Case("setops: _list_set(())", "ListBase._list_set(x)", "Reference._list_set(x)", env, target=1.6),
        Case("setops: _list_set(5) -> fallback", "ListBase._list_set(5)", "Reference._list_set(5)", env,
             target=2.0),
        Case("setops: _list_set(2000 items) vs inline", "ListBase._list_set(big)", "list(set(list(big)))", env,
             target=1 / 1.1),
        Case("setops: _list_diff(300, 300)", "ListBase._list_diff(a, b)", "Reference._list_diff(a, b)", env),
        Case("setops: _list_intersect(300, 300)", "ListBase._list_intersect(a, b)",
             "Reference._list_intersect(a, b)", env),
    ]
