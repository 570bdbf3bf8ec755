import inspect
import subprocess
import sys
import threading
import time as real_time
import types

import pytest
from Crypto.Cipher import AES
from Crypto.Util.Padding import pad, unpad

from valkin.bases import keyforge
from valkin.bases.keyforge import AuthBase

KEY16 = "0123456789abcdef"
KEY24 = "0123456789abcdef01234567"
KEY32 = "0123456789abcdef0123456789abcdef"


# ---- a clock the tests control ------------------------------------------------


class FakeClock:
    """Stands in for the `time` module: `time()` gives the scripted
    milliseconds in turn (the last one repeats) and counts its readings."""

    def __init__(self, *millis):
        self.script = list(millis)
        self.readings = 0

    def set(self, *millis):
        self.script = list(millis)

    def time(self):
        self.readings += 1
        ms = self.script.pop(0) if len(self.script) > 1 else self.script[0]
        return (ms + 0.5) / 1000  # halfway, so int(t * 1000) is exactly ms


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock(1_700_000_000_000)
    monkeypatch.setattr(keyforge, "time", fake)
    return fake


class Meta(type):
    """A metaclass: attribute access on its classes goes the long way."""


# The generator's state is per class; each test gets its own class, once as a
# plain subclass and once through a metaclass, so both ways of reaching the
# counters are covered.
@pytest.fixture(params=["plain", "metaclass"])
def gen(request):
    namespace = {"sequence": 0, "last_timestamp": -1, "machine_id": 0, "datacenter_id": 0}
    if request.param == "plain":
        return type("Gen", (AuthBase,), namespace)
    return Meta("Gen", (AuthBase,), namespace)


def fields(identifier):
    return identifier >> 22, (identifier >> 17) & 31, (identifier >> 12) & 31, identifier & 4095


# ---- module and class -------------------------------------------------------------


def test_namespaces_docs_and_signatures():
    assert [n for n in vars(keyforge) if not n.startswith("__")] == ["time", "AES", "pad", "unpad", "AuthBase"]
    assert keyforge.time is real_time
    assert keyforge.AES is AES and keyforge.pad is pad and keyforge.unpad is unpad
    assert [n for n in vars(AuthBase) if not n.startswith("__")] == [
        "machine_id", "datacenter_id", "sequence", "last_timestamp",
        "_wait_for_next_millisecond", "id_config", "id_", "auth_encode", "auth_decode",
    ]
    assert AuthBase.__bases__ == (object,)
    assert isinstance(vars(AuthBase)["_wait_for_next_millisecond"], staticmethod)
    for name in ("id_config", "id_", "auth_encode", "auth_decode"):
        assert isinstance(vars(AuthBase)[name], classmethod)
    docs = {
        "_wait_for_next_millisecond": "AuthBase._wait_for_next_millisecond(last_timestamp)",
        "id_config": "AuthBase.id_config(cls, machine_id, datacenter_id)",
        "id_": "AuthBase.id_(cls)",
        "auth_encode": "AuthBase.auth_encode(cls, value, key)",
        "auth_decode": "AuthBase.auth_decode(cls, value, key)",
    }
    for name, doc in docs.items():
        method = getattr(AuthBase, name)
        assert method.__doc__ == doc
        assert method.__module__ == "valkin.bases.keyforge"
        assert method.__qualname__ == f"AuthBase.{name}"
        assert str(inspect.signature(method)) == doc[doc.index("(") :].replace("cls, ", "").replace("(cls)", "()")


def test_a_fresh_process_starts_from_the_documented_state():
    code = (
        "from valkin.bases.keyforge import AuthBase as A\n"
        "print(A.machine_id, A.datacenter_id, A.sequence, A.last_timestamp)\n"
        "i = A.id_()\n"
        "print(i & 4095, (i >> 22) == A.last_timestamp, type(i).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split("\n")[:2] == ["0 0 0 -1", "0 True int"]


# ---- id_config ---------------------------------------------------------------------


def test_id_config_stores_on_the_calling_class(gen):
    gen.id_config(datacenter_id=31, machine_id=0)
    assert (gen.machine_id, gen.datacenter_id) == (0, 31)
    assert type(gen.machine_id) is int
    assert "machine_id" not in vars(type("Sub", (gen,), {}))
    Sub = type("Sub", (gen,), {})
    Sub.id_config(5, 6)
    assert (Sub.machine_id, Sub.datacenter_id, gen.machine_id) == (5, 6, 0)


@pytest.mark.parametrize(
    "machine_id, datacenter_id, exc, match",
    [
        (True, 0, TypeError, "machine_id 必须是 int，实际为 bool"),
        (0, False, TypeError, "datacenter_id 必须是 int，实际为 bool"),
        (1.0, 0, TypeError, "machine_id 必须是 int，实际为 float"),
        ("1", 0, TypeError, "machine_id 必须是 int，实际为 str"),
        (0, None, TypeError, "datacenter_id 必须是 int，实际为 NoneType"),
        (32, 0, ValueError, "machine_id 必须在 0 到 31 之间，实际为 32"),
        (0, -1, ValueError, "datacenter_id 必须在 0 到 31 之间，实际为 -1"),
        (2**100, 0, ValueError, "machine_id 必须在 0 到 31 之间"),
        (3, 32, ValueError, "datacenter_id"),  # the valid first value is not stored either
    ],
)
def test_id_config_refuses_and_stores_nothing(gen, machine_id, datacenter_id, exc, match):
    gen.id_config(7, 8)
    with pytest.raises(exc, match=match):
        gen.id_config(machine_id, datacenter_id)
    assert (gen.machine_id, gen.datacenter_id) == (7, 8)


def test_id_config_needs_both_numbers():
    with pytest.raises(TypeError):
        AuthBase.id_config(1)
    with pytest.raises(TypeError):
        AuthBase.id_config(1, 2, 3)


# ---- identifiers -----------------------------------------------------------------


def test_layout_of_an_identifier(gen, clock):
    gen.id_config(1, 2)
    clock.set(1_700_000_000_123)
    first, second = gen.id_(), gen.id_()
    assert type(first) is int
    assert fields(first) == (1_700_000_000_123, 2, 1, 0)
    assert second == first + 1
    assert gen.last_timestamp == 1_700_000_000_123 and gen.sequence == 1


def test_the_real_clock(gen):
    before = int(real_time.time() * 1000)
    identifier = gen.id_()
    after = int(real_time.time() * 1000)
    assert before <= identifier >> 22 <= after
    assert identifier >> 22 == gen.last_timestamp


def test_patching_time_time_is_seen(gen, monkeypatch):
    monkeypatch.setattr(keyforge.time, "time", lambda: 1234.5678)
    assert fields(gen.id_()) == (1234567, 0, 0, 0)
    assert gen._wait_for_next_millisecond(5) == 1234567


def test_a_new_millisecond_restarts_the_sequence(gen, clock):
    clock.set(1000, 1000, 1000, 1001)
    assert [fields(gen.id_())[::3] for _ in range(4)] == [(1000, 0), (1000, 1), (1000, 2), (1001, 0)]


def test_a_used_up_millisecond_waits_for_the_next(gen, clock):
    gen.last_timestamp, gen.sequence = 5000, 4095
    clock.set(5000, 5000, 5000, 5000, 5001)
    assert fields(gen.id_())[::3] == (5001, 0)
    assert clock.readings == 5  # one reading, then polled until the clock moved on
    assert (gen.last_timestamp, gen.sequence) == (5001, 0)


def test_a_clock_behind_never_reissues_and_never_waits(gen, clock):
    gen.last_timestamp, gen.sequence = 9000, 4094
    clock.set(4000)
    ids = [gen.id_() for _ in range(3)]
    assert [fields(i)[::3] for i in ids] == [(9000, 4095), (9001, 0), (9001, 1)]
    assert clock.readings == 3  # no polling at all
    assert gen.last_timestamp == 9001


def test_identifiers_keep_increasing_while_the_clock_jumps_about(gen, clock):
    clock.set(*[7000, 7000, 6000, 6500, 7000, 7001, 3000, 7001, 7002] * 3)
    ids = [gen.id_() for _ in range(27)]
    assert all(a < b for a, b in zip(ids, ids[1:]))


def test_a_full_millisecond_of_identifiers(gen, clock):
    clock.set(*[8000] * 4097, 8001)
    ids = [gen.id_() for _ in range(4097)]
    assert [i & 4095 for i in ids[:4096]] == list(range(4096))
    assert {i >> 22 for i in ids[:4096]} == {8000}
    assert fields(ids[4096])[::3] == (8001, 0)


def test_the_wait_goes_through_the_class(gen, clock):
    calls = []

    class Waiting(gen):
        @staticmethod
        def _wait_for_next_millisecond(last_timestamp):
            calls.append(last_timestamp)
            return last_timestamp + 10

    Waiting.last_timestamp, Waiting.sequence = 100, 4095
    clock.set(100)
    assert fields(Waiting.id_())[::3] == (110, 0)
    assert calls == [100]


def test_subclasses_get_their_own_counters(gen, clock):
    clock.set(3000)
    gen.id_()
    Sub = type("Sub", (gen,), {})
    assert fields(Sub.id_())[::3] == (3000, 1)  # read the parent's counters, then wrote its own
    assert (Sub.sequence, gen.sequence) == (1, 0)
    assert "last_timestamp" in vars(Sub)


@pytest.mark.parametrize(
    "machine_id, datacenter_id",
    [(32, 0), (-1, 0), (0, 2**70), (True, 3), (31, 31)],
)
def test_numbers_set_directly_combine_like_the_operators(gen, clock, machine_id, datacenter_id):
    clock.set(2_000_000)
    gen.machine_id, gen.datacenter_id = machine_id, datacenter_id
    assert gen.id_() == (2_000_000 << 22) | (datacenter_id << 17) | (machine_id << 12) | 0


@pytest.mark.parametrize(
    "seconds, timestamp",
    [
        (2**41 / 1000 + 100, int((2**41 / 1000 + 100) * 1000)),  # after 2039: a longer int, no wrap
        (1234, 1234000),  # an int clock
        (-1.5, -1500),  # before 1970
    ],
)
def test_unusual_clock_values(gen, monkeypatch, seconds, timestamp):
    monkeypatch.setattr(keyforge, "time", types.SimpleNamespace(time=lambda: seconds))
    gen.last_timestamp = -(10**6)  # below every reading, the initial -1 included
    identifier = gen.id_()
    assert identifier == timestamp << 22
    assert gen.last_timestamp == timestamp


@pytest.mark.parametrize(
    "now, exc",
    [
        (lambda: float("nan"), ValueError),
        (lambda: float("inf"), OverflowError),
        (lambda: "soon", ValueError),
        (lambda: None, TypeError),
        (lambda: 1 / 0, ZeroDivisionError),
    ],
)
def test_clock_failures_propagate_and_change_nothing(gen, monkeypatch, now, exc):
    gen.last_timestamp, gen.sequence = 42, 7
    monkeypatch.setattr(keyforge, "time", types.SimpleNamespace(time=now))
    with pytest.raises(exc):
        gen.id_()
    with pytest.raises(exc):
        gen._wait_for_next_millisecond(0)
    assert (gen.last_timestamp, gen.sequence) == (42, 7)


def test_a_missing_clock_is_a_name_or_attribute_error(gen, monkeypatch):
    monkeypatch.setattr(keyforge, "time", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        gen.id_()
    monkeypatch.delattr(keyforge, "time")
    with pytest.raises(NameError, match="'time'"):
        gen.id_()


@pytest.mark.parametrize(
    "attribute, value, exc",
    [("sequence", "1", TypeError), ("last_timestamp", None, TypeError), ("machine_id", "x", TypeError)],
)
def test_broken_state_raises_instead_of_crashing(gen, clock, attribute, value, exc):
    gen.last_timestamp = 1_700_000_000_000
    setattr(gen, attribute, value)
    with pytest.raises(exc):
        gen.id_()


def test_called_on_something_that_is_no_class():
    function = vars(AuthBase)["id_"].__func__
    with pytest.raises(AttributeError):
        function(42)
    with pytest.raises(AttributeError):
        vars(AuthBase)["id_config"].__func__(42, 1, 2)


# ---- _wait_for_next_millisecond ----------------------------------------------------


def test_wait_returns_the_first_later_millisecond(clock):
    clock.set(10, 11, 12, 13)
    assert AuthBase._wait_for_next_millisecond(12) == 13
    assert clock.readings == 4
    clock.set(500)
    assert AuthBase()._wait_for_next_millisecond(last_timestamp=-1) == 500


def test_wait_with_the_real_clock():
    now = int(real_time.time() * 1000)
    assert now <= AuthBase._wait_for_next_millisecond(-1) <= int(real_time.time() * 1000)
    assert AuthBase._wait_for_next_millisecond(now + 2) > now + 2


def test_wait_compares_like_the_interpreter(clock):
    clock.set(10, 20)
    assert AuthBase._wait_for_next_millisecond(10.5) == 20
    with pytest.raises(TypeError):
        AuthBase._wait_for_next_millisecond("later")


def test_a_long_wait_can_be_interrupted_and_lets_other_threads_run():
    import signal

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(real_time.monotonic())
            real_time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    previous = signal.signal(signal.SIGALRM, interrupt)
    ticker.start()
    try:
        start = real_time.monotonic()
        assert AuthBase._wait_for_next_millisecond(int(real_time.time() * 1000) + 100) > 0
        end = real_time.monotonic()
        # The spinning thread gave the others their turns (every few ms).
        assert len([t for t in ticks if start + 0.02 < t < end]) >= 3
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted):
            AuthBase._wait_for_next_millisecond(2**62)  # would spin for ages
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        stop.set()
        ticker.join()


# ---- threads ------------------------------------------------------------------------


def collect(cls, threads, per_thread):
    results = [[] for _ in range(threads)]
    start = threading.Barrier(threads)

    def work(out):
        start.wait()
        for _ in range(per_thread):
            out.append(cls.id_())

    workers = [threading.Thread(target=work, args=(out,)) for out in results]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return results


def assert_unique_and_increasing(results, total):
    assert len({i for r in results for i in r}) == total
    for r in results:
        assert all(a < b for a, b in zip(r, r[1:]))


def test_threads_with_the_real_clock_never_share_an_identifier(gen):
    results = collect(gen, 8, 5000)
    assert_unique_and_increasing(results, 40000)


class Yielding(type):
    """Gives the interpreter lock away in the middle of every counter update."""

    def __setattr__(cls, name, value):
        real_time.sleep(0)
        super().__setattr__(name, value)


def test_threads_switching_mid_update_never_share_an_identifier(monkeypatch):
    # A slow, coarse clock switches threads too, and wraps the sequence often.
    def coarse():
        real_time.sleep(0)
        return real_time.time() // 0.05 * 0.05

    monkeypatch.setattr(keyforge, "time", types.SimpleNamespace(time=coarse))
    gen = Yielding("Gen", (AuthBase,), {"sequence": 0, "last_timestamp": -1})
    results = collect(gen, 6, 1500)
    assert_unique_and_increasing(results, 9000)


def test_reentry_from_the_same_thread_does_not_deadlock(clock):
    class Other(AuthBase):
        pass

    class Nested(AuthBase):
        @staticmethod
        def _wait_for_next_millisecond(last_timestamp):
            Other.id_()  # back into the generator while it holds its lock
            return last_timestamp + 1

    Nested.last_timestamp, Nested.sequence = 1_700_000_000_000, 4095
    done = []
    worker = threading.Thread(target=lambda: done.append(Nested.id_()), daemon=True)
    worker.start()
    worker.join(10)
    assert done and fields(done[0])[::3] == (1_700_000_000_001, 0)
    assert Other.last_timestamp == 1_700_000_000_000


def test_a_child_forked_while_another_thread_holds_the_counters_can_still_issue():
    import os
    import warnings

    inside, forked = threading.Event(), threading.Event()

    class Pausing(type):
        def __setattr__(cls, name, value):
            inside.set()
            forked.wait(10)
            super().__setattr__(name, value)

    slow = Pausing("Slow", (AuthBase,), {})
    holder = threading.Thread(target=slow.id_)
    holder.start()
    try:
        assert inside.wait(10)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            pid = os.fork()
        if pid == 0:
            try:
                ok = type("Fresh", (AuthBase,), {}).id_() > 0
            finally:
                os._exit(0 if ok else 1)
        deadline = real_time.monotonic() + 10
        while (status := os.waitpid(pid, os.WNOHANG))[0] == 0 and real_time.monotonic() < deadline:
            real_time.sleep(0.01)
        if status[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        assert status[0] == pid and os.waitstatus_to_exitcode(status[1]) == 0
    finally:
        forked.set()
        holder.join()


# ---- the cipher ---------------------------------------------------------------------


def reference_encrypt(text, key):
    return AES.new(key.encode("utf-8"), AES.MODE_ECB).encrypt(pad(text.encode("utf-8"), 16))


@pytest.mark.parametrize("key", [KEY16, KEY24, KEY32, "密钥密钥密钥密钥密钥ab"])  # the last: 32 bytes
@pytest.mark.parametrize(
    "text, size",
    [
        ("", 16),
        ("a" * 15, 16),
        ("a" * 16, 32),
        ("a" * 17, 32),
        ("中文五个字", 16),  # 15 bytes
        ("中文六个字符", 32),  # 18 bytes
        ("emoji 🔐 and \x00 nul", 32),
        ("x" * 1000, 1008),
    ],
)
def test_round_trip_and_block_lengths(key, text, size):
    cipher = AuthBase.auth_encode(text, key)
    assert type(cipher) is bytes and len(cipher) == size
    assert cipher == reference_encrypt(text, key)
    assert AuthBase.auth_decode(cipher, key) == text
    assert AuthBase.auth_decode(value=bytearray(cipher), key=key) == text
    assert AuthBase.auth_decode(memoryview(cipher), key) == text


def test_ecb_is_deterministic_block_by_block():
    assert AuthBase.auth_encode("same", KEY16) == AuthBase.auth_encode("same", KEY16)
    cipher = AuthBase.auth_encode("0123456789abcdef" * 2, KEY16)
    assert cipher[:16] == cipher[16:32] and len(cipher) == 48


@pytest.mark.parametrize(
    "value, key, exc, match",
    [
        ("text", "short", ValueError, "Incorrect AES key length"),
        ("text", "六个中文字符", ValueError, r"Incorrect AES key length \(18 bytes\)"),
        ("text", b"0123456789abcdef", AttributeError, "encode"),
        (b"bytes", KEY16, AttributeError, "encode"),
        (None, KEY16, AttributeError, "encode"),
        ("\ud800", KEY16, UnicodeEncodeError, "surrogates not allowed"),
        (None, "short", ValueError, "Incorrect AES key length"),  # the key is made first
    ],
)
def test_encode_errors(value, key, exc, match):
    with pytest.raises(exc, match=match):
        AuthBase.auth_encode(value, key)


def blocks_ending(last_block):
    """Cipher text whose plain text ends with `last_block`, made without padding."""
    return AES.new(KEY16.encode(), AES.MODE_ECB).encrypt(b"A" * 16 + last_block)


@pytest.mark.parametrize(
    "cipher",
    [
        b"",
        b"\x00" * 15,
        blocks_ending(b"B" * 15 + b"\x00"),
        blocks_ending(b"B" * 15 + b"\x11"),
        blocks_ending(b"B" * 13 + b"\x01\x03\x03"),
        blocks_ending(b"B" * 14 + b"\x02\x02"),  # valid padding
        blocks_ending(b"\xff" * 15 + b"\x01"),  # valid padding, not UTF-8
        blocks_ending(b"\x10" * 16),  # a whole block of padding
    ],
)
def test_decode_checks_match_the_cipher_library(cipher):
    try:
        expected = unpad(AES.new(KEY16.encode(), AES.MODE_ECB).decrypt(cipher), 16).decode()
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            AuthBase.auth_decode(cipher, KEY16)
        assert str(info.value) == str(exc)
    else:
        assert AuthBase.auth_decode(cipher, KEY16) == expected


def test_damaged_or_wrong_key_cipher_text_raises():
    cipher = AuthBase.auth_encode("the secret text", KEY16)
    damaged = cipher[:-1] + bytes([cipher[-1] ^ 1])
    with pytest.raises(ValueError):
        AuthBase.auth_decode(damaged, KEY16)
    with pytest.raises(ValueError):
        AuthBase.auth_decode(cipher, "fedcba9876543210")
    with pytest.raises(ValueError, match="boundary"):
        AuthBase.auth_decode(cipher[:-1], KEY16)
    with pytest.raises(TypeError):
        AuthBase.auth_decode("not bytes", KEY16)
    with pytest.raises(AttributeError):
        AuthBase.auth_decode(cipher, None)


def test_cipher_names_are_looked_up_at_each_call(monkeypatch):
    seen = []

    def spy_pad(data, block_size):
        seen.append(("pad", data, block_size))
        return pad(data, block_size)

    def spy_unpad(data, block_size):
        seen.append(("unpad", data, block_size))
        return unpad(data, block_size)

    monkeypatch.setattr(keyforge, "pad", spy_pad)
    monkeypatch.setattr(keyforge, "unpad", spy_unpad)
    cipher = AuthBase.auth_encode("hi", KEY16)
    assert AuthBase.auth_decode(cipher, KEY16) == "hi"
    assert seen == [("pad", b"hi", 16), ("unpad", b"hi" + b"\x0e" * 14, 16)]

    monkeypatch.setattr(keyforge.AES, "block_size", 32)
    assert len(AuthBase.auth_encode("hi", KEY16)) == 32
    monkeypatch.undo()

    class Text(str):
        def encode(self, encoding):
            return b"always this"

    assert AuthBase.auth_decode(AuthBase.auth_encode(Text("ignored"), KEY16), KEY16) == "always this"
    monkeypatch.delattr(keyforge, "AES")
    with pytest.raises(NameError, match="'AES'"):
        AuthBase.auth_encode("hi", KEY16)
