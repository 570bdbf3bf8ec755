from run import Case

from reference.convkit import CommonBase as Reference
from valkin.bases.convkit import CommonBase


def cases():
    env = {"CommonBase": CommonBase, "Reference": Reference}

    def case(call, target=None):
        return Case(f"convkit: {call}", f"CommonBase.{call}", f"Reference.{call}", env, target=target)

    return [
        case('_to_bool(" Yes ")', 3.0),
        case("_to_bool(0)", 3.0),
        case('_to_bool("maybe")'),
        case("_to_int(3.5)", 3.0),
        case('_to_int("42")', 3.0),
        case("_to_int(-3.5468, ceil=True)"),
        case("_to_str(12)", 2.5),
        case('_to_decimal("3.5468")', 1.5),
        case("_to_float(2.675)", 1.5),
        case('_to_float("abc")'),
    ]
