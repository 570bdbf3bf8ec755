import time

from run import Case

from reference.keyforge import AuthBase as Reference
from valkin.bases.keyforge import AuthBase

KEY = "0123456789abcdef"
TEXT = ("valkin keeps secrets: " * 5)[:100]


def _three(base):
    # Three classes in turn stay below 4096 identifiers a millisecond each, so
    # the time is the call's own and not the generator's designed ceiling.
    classes = [type(f"Gen{i}", (base,), {}) for i in range(3)]
    for i, cls in enumerate(classes):
        cls.id_config(i, 1)
    return classes


def cases():
    a1, a2, a3 = _three(AuthBase)
    r1, r2, r3 = _three(Reference)
    env = {
        "AuthBase": AuthBase, "Reference": Reference, "key": KEY, "text": TEXT,
        "cipher": AuthBase.auth_encode(TEXT, KEY),
        "a1": a1, "a2": a2, "a3": a3, "r1": r1, "r2": r2, "r3": r3,
    }
    return [
        Case("keyforge: id_()", "AuthBase.id_()", "Reference.id_()", env, target=3.0),
        Case("keyforge: id_() on three classes in turn", "a1.id_(); a2.id_(); a3.id_()",
             "r1.id_(); r2.id_(); r3.id_()", env, target=3.0),
        Case("keyforge: auth_encode(100 characters)", "AuthBase.auth_encode(text, key)",
             "Reference.auth_encode(text, key)", env, target=1.0),
        Case("keyforge: auth_decode(100 characters)", "AuthBase.auth_decode(cipher, key)",
             "Reference.auth_decode(cipher, key)", env, target=1.0),
    ]


def extras():
    make = AuthBase.id_
    best = 0.0
    for _ in range(5):
        count, start = 0, time.perf_counter()
        while time.perf_counter() - start < 0.2:
            for _ in range(10_000):
                make()
            count += 10_000
        best = max(best, count / (time.perf_counter() - start))
    verdict = "ok" if best >= 2_000_000 else "MISSED"
    return [f"keyforge: id_() from one thread: {best:,.0f} identifiers a second "
            f"(target 2,000,000 {verdict}; one class issues at most 4,096 a millisecond)"]
