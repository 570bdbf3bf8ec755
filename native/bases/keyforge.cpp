// AuthBase: time-ordered snowflake identifiers and an AES text cipher.
//
// Namespace, in order: time, AES, pad, unpad, AuthBase.
//
// The generator's state lives in four class attributes that every call reads
// and writes through `cls`, so a subclass gets its own counters the first
// time it issues an identifier. One lock per module serialises the
// read-modify-write of those counters: the interpreter lock alone is not
// enough once a patched clock or an attribute hook runs Python code in the
// middle of a call and lets another thread in.
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include <pthread.h>
#include <sched.h>
#include <time.h>

using namespace valkin;

namespace {

// Bumped in a child process right after fork(): a lock that a thread of the
// parent held at that moment has no holder in the child.
unsigned fork_generation = 0;

void after_fork_in_child() { ++fork_generation; }

// A lock the same thread may take again: attribute hooks or an overridden
// `_wait_for_next_millisecond` may call back into the generator. Its fields
// are read and written only by threads attached to the interpreter, so the
// interpreter lock orders them; a thread that finds it taken gives the
// interpreter lock up while it waits, so a holder running Python code can
// finish.
struct CounterLock {
    PyThreadState* owner;  // nullptr when free
    long depth;
    unsigned generation;  // fork_generation when taken
};

class Hold {
public:
    explicit Hold(CounterLock& lock) : lock_(lock) {
        PyThreadState* me = PyThreadState_GetUnchecked();
        if (lock_.owner != me && lock_.owner && !wait_turn()) return;
        lock_.owner = me;
        lock_.generation = fork_generation;
        ++lock_.depth;
        held_ = true;
    }
    ~Hold() {
        if (held_ && --lock_.depth == 0) lock_.owner = nullptr;
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // False with the error set when a signal handler raised while waiting.
    bool ok() const { return held_; }

private:
    Py_NO_INLINE bool wait_turn() {
        for (unsigned round = 0; lock_.owner; ++round) {
            if (lock_.generation != fork_generation) {  // held in the parent before a fork
                lock_.depth = 0;
                break;
            }
            if (PyErr_CheckSignals() < 0) return false;
            Py_BEGIN_ALLOW_THREADS
            if (round < 64) {
                sched_yield();
            } else {
                timespec pause{0, 50'000};
                nanosleep(&pause, nullptr);
            }
            Py_END_ALLOW_THREADS
        }
        return true;
    }

    CounterLock& lock_;
    bool held_ = false;
};

struct State {
    // As imported; the native paths apply only while the module still sees these.
    Ref time_module, time_time, aes, pad, unpad;
    Ref name_time, name_aes, name_pad, name_unpad;
    Ref name_machine_id, name_datacenter_id, name_sequence, name_last_timestamp, name_wait;
    Ref name_new, name_mode_ecb, name_block_size, name_encrypt, name_decrypt, name_encode, name_decode;
    Ref utf8, zero, one, thousand, sequence_mask;
    CounterLock lock;  // zeroed memory is a free lock
    template <class F>
    void each(F&& f) {
        f(time_module), f(time_time), f(aes), f(pad), f(unpad);
        f(name_time), f(name_aes), f(name_pad), f(name_unpad);
        f(name_machine_id), f(name_datacenter_id), f(name_sequence), f(name_last_timestamp), f(name_wait);
        f(name_new), f(name_mode_ecb), f(name_block_size), f(name_encrypt), f(name_decrypt), f(name_encode),
            f(name_decode);
        f(utf8), f(zero), f(one), f(thousand), f(sequence_mask);
    }
};

State* state(Function* f) { return state_of<State>(f); }

// An exact int that fits in 64 bits; false (no error) for anything else.
bool as_int64(PyObject* o, int64_t* out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return false;
    if (v == -1 && PyErr_Occurred()) {  // not for an exact int, but never leave it set
        PyErr_Clear();
        return false;
    }
    *out = v;
    return true;
}

Ref int64(int64_t v) { return steal(PyLong_FromLongLong(v)); }

// `a <op> b` as a truth value: 1, 0, or -1 with the error set.
int compare(PyObject* a, PyObject* b, int op) {
    int64_t x, y;
    if (as_int64(a, &x) && as_int64(b, &y)) {
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_EQ: return x == y;
            case Py_GT: return x > y;
            default: break;
        }
    }
    return PyObject_RichCompareBool(a, b, op);
}

// `name` of a module object: its dict first, like module attribute access
// for any name the module type itself does not define.
Ref module_attr(PyObject* module, PyObject* name) {
    if (PyModule_CheckExact(module)) {
        PyObject* found = nullptr;
        int rc = PyDict_GetItemRef(PyModule_GetDict(module), name, &found);
        if (rc != 0) return steal(found);  // found, or an error
    }
    return getattr(module, name);
}

// ---- the clock -------------------------------------------------------------

// A reading of `int(time.time() * 1000)`: a native count while the module
// still sees the original clock (the int object is made only when needed),
// otherwise whatever the patched clock's arithmetic gave.
class Millis {
public:
    static Millis native(int64_t value) { return Millis(true, value, Ref()); }
    // A reading made by the interpreter's arithmetic; empty when that failed.
    static Millis object(Ref value) { return Millis(false, 0, std::move(value)); }

    bool failed() const { return !native_ && !object_; }
    // The count as a 64-bit value, when it is one.
    bool as_int64(int64_t* out) const {
        if (!native_) return ::as_int64(object_.get(), out);
        *out = value_;
        return true;
    }
    // The count as an int object (empty with the error set on failure).
    Ref get() {
        if (!object_ && native_) object_ = int64(value_);
        return object_;
    }

private:
    Millis(bool native, int64_t value, Ref object) : native_(native), value_(value), object_(std::move(object)) {}
    bool native_;
    int64_t value_;
    Ref object_;
};

Millis clock_ms(Function* self, State* st) {
    Ref time_module = lookup_global(self, st->name_time.get());
    if (!time_module) return Millis::object({});
    Ref now_fn = time_module.get() == st->time_module.get() ? module_attr(time_module.get(), st->name_time.get())
                                                             : getattr(time_module.get(), st->name_time.get());
    if (!now_fn) return Millis::object({});
    if (now_fn.get() == st->time_time.get()) {
        // What time.time() computes, then `* 1000` in double and int()'s
        // truncation; the product stays far inside 64 bits.
        PyTime_t t;
        if (PyTime_Time(&t) < 0) return Millis::object({});
        return Millis::native(static_cast<int64_t>(PyTime_AsSecondsDouble(t) * 1000.0));
    }
    Ref seconds = steal(PyObject_CallNoArgs(now_fn.get()));
    if (!seconds) return Millis::object({});
    Ref ms = steal(PyNumber_Multiply(seconds.get(), st->thousand.get()));
    if (!ms) return Millis::object({});
    return Millis::object(steal(PyNumber_Long(ms.get())));
}

// `now <op> other`.
int compare(Millis& now, PyObject* other, int op) {
    int64_t x, y;
    if (now.as_int64(&x) && as_int64(other, &y)) {
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            default: break;
        }
    }
    Ref n = now.get();
    return n ? PyObject_RichCompareBool(n.get(), other, op) : -1;
}

// ---- _wait_for_next_millisecond ---------------------------------------------

constexpr const char* kWaitDoc = "AuthBase._wait_for_next_millisecond(last_timestamp)";

// Let other threads and signal handlers in now and then, as the interpreter
// would during the same loop written in Python.
constexpr unsigned kYieldEvery = 1024;

Ref wait_for_next_millisecond(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* last = a[0];
    for (unsigned spins = 1;; ++spins) {
        Millis now = clock_ms(self, st);
        if (now.failed()) return {};
        int waiting = compare(now, last, Py_LE);
        if (waiting < 0) return {};
        if (!waiting) return now.get();
        if (PyErr_CheckSignals() < 0) return {};
        if (spins % kYieldEvery == 0) {
            // Give the interpreter lock away long enough for a waiting thread
            // to take it: handing it back at once would win it again every time.
            Py_BEGIN_ALLOW_THREADS
            timespec pause{0, 20'000};
            nanosleep(&pause, nullptr);
            Py_END_ALLOW_THREADS
        }
    }
}

// ---- id_config ---------------------------------------------------------------

constexpr const char* kIdConfigDoc = "AuthBase.id_config(cls, machine_id, datacenter_id)";

constexpr long kMaxFieldValue = 31;  // both numbers have five bits

// "<name> <why><detail>" as `exc`; the Chinese text goes in through %U
// because format strings must be ASCII.
Py_NO_INLINE bool refuse(PyObject* exc, const char* name, const char* why, const char* detail_format, ...) {
    Ref reason = str(why);
    if (!reason) return false;
    va_list args;
    va_start(args, detail_format);
    Ref detail = steal(PyUnicode_FromFormatV(detail_format, args));
    va_end(args);
    if (!detail) return false;
    PyErr_Format(exc, "%s %U%U", name, reason.get(), detail.get());
    return false;
}

bool check_field(PyObject* value, const char* name) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        return refuse(PyExc_TypeError, name, "必须是 int，实际为 ", "%T", value);
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow) return refuse(PyExc_ValueError, name, "必须在 0 到 31 之间", "");
    if (v < 0 || v > kMaxFieldValue) return refuse(PyExc_ValueError, name, "必须在 0 到 31 之间，实际为 ", "%ld", v);
    return true;
}

Ref id_config(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    if (!check_field(a[1], "machine_id") || !check_field(a[2], "datacenter_id")) return {};
    Hold hold(st->lock);  // an identifier never sees half a configuration
    if (!hold.ok()) return {};
    if (PyObject_SetAttr(cls, st->name_machine_id.get(), a[1]) < 0) return {};
    if (PyObject_SetAttr(cls, st->name_datacenter_id.get(), a[2]) < 0) return {};
    return none();
}

// ---- id_ -----------------------------------------------------------------------

constexpr const char* kIdDoc = "AuthBase.id_(cls)";

constexpr int64_t kSequenceMask = 4095;

// `(sequence + 1) & 4095`.
Ref next_sequence(State* st, PyObject* sequence) {
    int64_t v;
    if (as_int64(sequence, &v) && v < INT64_MAX) return int64((v + 1) & kSequenceMask);
    Ref bumped = steal(PyNumber_Add(sequence, st->one.get()));
    if (!bumped) return {};
    return steal(PyNumber_And(bumped.get(), st->sequence_mask.get()));
}

// `last + 1`.
Ref successor(State* st, PyObject* last) {
    int64_t v;
    if (as_int64(last, &v) && v < INT64_MAX) return int64(v + 1);
    return steal(PyNumber_Add(last, st->one.get()));
}

// `acc | (value << shift)` (plain `acc | value` for a zero shift). The
// native form holds while every part is a non-negative 64-bit int whose
// shifted value stays below 2**63; anything else takes the interpreter's
// operators, in the order the expression evaluates them.
class Compose {
public:
    explicit Compose(PyObject* timestamp) {
        int64_t ts;
        if (as_int64(timestamp, &ts) && ts >= 0 && ts < (int64_t{1} << 41)) {
            native_ = true;
            bits_ = static_cast<uint64_t>(ts) << 22;
        } else {
            Ref shift = int64(22);
            if (shift) acc_ = steal(PyNumber_Lshift(timestamp, shift.get()));
            ok_ = static_cast<bool>(acc_);
        }
    }

    bool ok() const { return ok_; }

    // Adds one field, read from `cls` just now.
    bool add(PyObject* value, int shift) {
        if (!ok_) return false;
        int64_t v;
        if (native_ && as_int64(value, &v) && v >= 0 && (static_cast<uint64_t>(v) >> (63 - shift)) == 0) {
            bits_ |= static_cast<uint64_t>(v) << shift;
            return true;
        }
        if (native_) {
            acc_ = steal(PyLong_FromUnsignedLongLong(bits_));
            native_ = false;
            if (!acc_) return ok_ = false;
        }
        Ref part = borrow(value);
        if (shift) {
            Ref amount = int64(shift);
            if (!amount) return ok_ = false;
            part = steal(PyNumber_Lshift(value, amount.get()));
            if (!part) return ok_ = false;
        }
        acc_ = steal(PyNumber_Or(acc_.get(), part.get()));
        return ok_ = static_cast<bool>(acc_);
    }

    Ref result() {
        if (!ok_) return {};
        return native_ ? steal(PyLong_FromUnsignedLongLong(bits_)) : acc_;
    }

private:
    bool ok_ = true;
    bool native_ = false;
    uint64_t bits_ = 0;
    Ref acc_;
};

// The class's own namespace when attribute access on it is plain: its
// metaclass is `type` itself (which defines none of the generator's names)
// and it is a heap type, whose dict lookup starts the MRO walk. nullptr
// otherwise.
PyObject* plain_namespace(PyObject* cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ? type->tp_dict : nullptr;
}

// `cls.<name>`. An exact int in a plain class's own namespace is what the
// lookup would find first, and an int has no `__get__`, so it is taken from
// there directly. `own` tells which way it came.
Ref read_attr(PyObject* cls, PyObject* name, bool* own = nullptr) {
    if (PyObject* ns = plain_namespace(cls)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(ns, name, &found) < 0) return {};
        Ref value = steal(found);
        if (value && PyLong_CheckExact(value.get())) {
            if (own) *own = true;
            return value;
        }
    }
    if (own) *own = false;
    return getattr(cls, name);
}

// Steps 1 to 4 of an identifier, attribute by attribute as written:
// returns the timestamp after storing it and the sequence.
Ref advance(State* st, PyObject* cls, Millis& now) {
    Ref reading = now.get();
    if (!reading) return {};
    Ref last = getattr(cls, st->name_last_timestamp.get());
    if (!last) return {};
    int later = compare(last.get(), reading.get(), Py_GT);  // timestamp = max(now, last)
    if (later < 0) return {};
    Ref timestamp = later ? last : reading;
    int same = later ? 1 : compare(timestamp.get(), last.get(), Py_EQ);
    if (same < 0) return {};
    if (same) {
        Ref sequence = getattr(cls, st->name_sequence.get());
        if (!sequence) return {};
        Ref next = next_sequence(st, sequence.get());
        if (!next || PyObject_SetAttr(cls, st->name_sequence.get(), next.get()) < 0) return {};
        int wrapped = compare(next.get(), st->zero.get(), Py_EQ);
        if (wrapped < 0) return {};
        if (wrapped) {
            // This millisecond is used up. A clock that has reached it waits
            // for the next one; a clock still behind moves on at once.
            int behind = compare(reading.get(), last.get(), Py_LT);
            if (behind < 0) return {};
            timestamp = behind ? successor(st, last.get()) : call_method(cls, st->name_wait.get(), last.get());
            if (!timestamp) return {};
        }
    } else if (PyObject_SetAttr(cls, st->name_sequence.get(), st->zero.get()) < 0) {
        return {};
    }
    if (PyObject_SetAttr(cls, st->name_last_timestamp.get(), timestamp.get()) < 0) return {};
    return timestamp;
}

enum class Step { done, not_here, failed };

// `advance` for the everyday case: the original clock, a plain class whose
// own namespace holds both counters as 64-bit ints, and a sequence that does
// not wrap. Attribute access on such a class runs no Python code, so the
// counters are read from the namespace, and a store of the object already
// there (`last_timestamp` within one millisecond, where the equal reading is
// interchangeable with the stored int) is left out. Checks everything before
// changing anything: `not_here` leaves the class untouched.
Step advance_plain(State* st, PyObject* cls, Millis& now, Ref* timestamp, Ref* sequence) {
    int64_t n, l, s;
    PyObject* ns = plain_namespace(cls);
    if (!ns || !now.as_int64(&n)) return Step::not_here;
    PyObject *last_found = nullptr, *sequence_found = nullptr;
    if (PyDict_GetItemRef(ns, st->name_last_timestamp.get(), &last_found) < 0) return Step::failed;
    Ref last = steal(last_found);
    if (PyDict_GetItemRef(ns, st->name_sequence.get(), &sequence_found) < 0) return Step::failed;
    Ref current = steal(sequence_found);
    if (!last || !current || !as_int64(last.get(), &l) || !as_int64(current.get(), &s)) return Step::not_here;
    if (l >= n) {
        // (s + 1) & 4095 in two's complement, as the interpreter's ints do it
        s = static_cast<int64_t>((static_cast<uint64_t>(s) + 1) & kSequenceMask);
        if (s == 0) return Step::not_here;
        Ref next = int64(s);
        if (!next || PyObject_SetAttr(cls, st->name_sequence.get(), next.get()) < 0) return Step::failed;
        *timestamp = last;
        *sequence = next;
    } else {
        if (current.get() != st->zero.get() && PyObject_SetAttr(cls, st->name_sequence.get(), st->zero.get()) < 0) {
            return Step::failed;
        }
        Ref reading = now.get();
        if (!reading || PyObject_SetAttr(cls, st->name_last_timestamp.get(), reading.get()) < 0) return Step::failed;
        *timestamp = reading;
        *sequence = st->zero;
    }
    return Step::done;
}

Ref id_(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    // Read before the lock: a clock that lags behind the counters only means
    // `last_timestamp` wins.
    Millis now = clock_ms(self, st);
    if (now.failed()) return {};

    Hold hold(st->lock);
    if (!hold.ok()) return {};
    Ref timestamp;
    Ref stored_sequence;
    Step step = advance_plain(st, cls, now, &timestamp, &stored_sequence);
    if (step == Step::failed) return {};
    bool plain = step == Step::done;
    if (!plain && !(timestamp = advance(st, cls, now))) return {};

    // (timestamp << 22) | (cls.datacenter_id << 17) | (cls.machine_id << 12) | cls.sequence
    Compose id(timestamp.get());
    bool own = false;
    Ref datacenter = read_attr(cls, st->name_datacenter_id.get(), &own);
    plain = plain && own;
    if (!datacenter || !id.add(datacenter.get(), 17)) return {};
    Ref machine = read_attr(cls, st->name_machine_id.get(), &own);
    plain = plain && own;
    if (!machine || !id.add(machine.get(), 12)) return {};
    // Nothing has run since the plain step stored the sequence: it still holds.
    Ref sequence = plain ? stored_sequence : read_attr(cls, st->name_sequence.get());
    if (!sequence || !id.add(sequence.get(), 0)) return {};
    return id.result();
}

// ---- auth_encode / auth_decode -------------------------------------------------

constexpr const char* kAuthEncodeDoc = "AuthBase.auth_encode(cls, value, key)";
constexpr const char* kAuthDecodeDoc = "AuthBase.auth_decode(cls, value, key)";

// `text.encode("utf-8")`.
Ref utf8_bytes(State* st, PyObject* text) {
    if (PyUnicode_CheckExact(text)) return steal(PyUnicode_AsUTF8String(text));
    return call_method(text, st->name_encode.get(), st->utf8.get());
}

// `AES.new(key.encode("utf-8"), AES.MODE_ECB)`.
Ref new_cipher(State* st, PyObject* aes, PyObject* key) {
    Ref factory = getattr(aes, st->name_new.get());
    if (!factory) return {};
    Ref raw_key = utf8_bytes(st, key);
    if (!raw_key) return {};
    Ref mode = getattr(aes, st->name_mode_ecb.get());
    if (!mode) return {};
    return call(factory.get(), raw_key.get(), mode.get());
}

// A block size the padding functions handle natively (1 to 255, so one byte
// holds any padding length); 0 for anything else.
Py_ssize_t native_block_size(PyObject* block_size) {
    int64_t v;
    return as_int64(block_size, &v) && v >= 1 && v <= 255 ? static_cast<Py_ssize_t>(v) : 0;
}

// PKCS#7 padding of exact bytes, as the cipher library's `pad` does it.
Ref pkcs7_pad(PyObject* data, Py_ssize_t block_size) {
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    Py_ssize_t padding = block_size - size % block_size;
    if (size > PY_SSIZE_T_MAX - padding) return steal(PyErr_NoMemory());
    Ref out = steal(PyBytes_FromStringAndSize(nullptr, size + padding));
    if (!out) return {};
    char* p = PyBytes_AS_STRING(out.get());
    std::memcpy(p, PyBytes_AS_STRING(data), static_cast<size_t>(size));
    std::memset(p + size, static_cast<int>(padding), static_cast<size_t>(padding));
    return out;
}

// Length of exact `data` once its PKCS#7 padding is removed, with the cipher
// library's own checks and messages; -1 with ValueError set.
Py_ssize_t pkcs7_unpadded_size(PyObject* data, Py_ssize_t block_size) {
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "Zero-length input cannot be unpadded");
        return -1;
    }
    if (size % block_size) {
        PyErr_SetString(PyExc_ValueError, "Input data is not padded");
        return -1;
    }
    Py_ssize_t padding = p[size - 1];
    if (padding < 1 || padding > (block_size < size ? block_size : size)) {
        PyErr_SetString(PyExc_ValueError, "Padding is incorrect.");
        return -1;
    }
    for (Py_ssize_t i = size - padding; i < size; ++i) {
        if (p[i] != padding) {
            PyErr_SetString(PyExc_ValueError, "PKCS#7 padding is incorrect.");
            return -1;
        }
    }
    return size - padding;
}

Ref auth_encode(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject *value = a[1], *key = a[2];
    Ref aes = lookup_global(self, st->name_aes.get());
    if (!aes) return {};
    Ref cipher = new_cipher(st, aes.get(), key);
    if (!cipher) return {};
    // cipher.encrypt(pad(value.encode("utf-8"), AES.block_size))
    Ref pad = lookup_global(self, st->name_pad.get());
    if (!pad) return {};
    Ref plain = utf8_bytes(st, value);
    if (!plain) return {};
    aes = lookup_global(self, st->name_aes.get());
    if (!aes) return {};
    Ref block_size = getattr(aes.get(), st->name_block_size.get());
    if (!block_size) return {};
    Py_ssize_t native = pad.get() == st->pad.get() && PyBytes_CheckExact(plain.get())
                            ? native_block_size(block_size.get())
                            : 0;
    Ref padded = native ? pkcs7_pad(plain.get(), native) : call(pad.get(), plain.get(), block_size.get());
    if (!padded) return {};
    return call_method(cipher.get(), st->name_encrypt.get(), padded.get());
}

Ref auth_decode(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject *value = a[1], *key = a[2];
    Ref aes = lookup_global(self, st->name_aes.get());
    if (!aes) return {};
    Ref cipher = new_cipher(st, aes.get(), key);
    if (!cipher) return {};
    // unpad(cipher.decrypt(value), AES.block_size).decode()
    Ref unpad = lookup_global(self, st->name_unpad.get());
    if (!unpad) return {};
    Ref padded = call_method(cipher.get(), st->name_decrypt.get(), value);
    if (!padded) return {};
    aes = lookup_global(self, st->name_aes.get());
    if (!aes) return {};
    Ref block_size = getattr(aes.get(), st->name_block_size.get());
    if (!block_size) return {};
    Py_ssize_t native = unpad.get() == st->unpad.get() && PyBytes_CheckExact(padded.get())
                            ? native_block_size(block_size.get())
                            : 0;
    if (native) {
        Py_ssize_t size = pkcs7_unpadded_size(padded.get(), native);
        if (size < 0) return {};
        return steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(padded.get()), size, "strict"));
    }
    Ref plain = call(unpad.get(), padded.get(), block_size.get());
    if (!plain) return {};
    return call_method(plain.get(), st->name_decode.get());
}

// ---- the module ------------------------------------------------------------------

bool intern_all(State* st) {
    struct {
        Ref* slot;
        const char* text;
    } names[] = {
        {&st->name_time, "time"},
        {&st->name_aes, "AES"},
        {&st->name_pad, "pad"},
        {&st->name_unpad, "unpad"},
        {&st->name_machine_id, "machine_id"},
        {&st->name_datacenter_id, "datacenter_id"},
        {&st->name_sequence, "sequence"},
        {&st->name_last_timestamp, "last_timestamp"},
        {&st->name_wait, "_wait_for_next_millisecond"},
        {&st->name_new, "new"},
        {&st->name_mode_ecb, "MODE_ECB"},
        {&st->name_block_size, "block_size"},
        {&st->name_encrypt, "encrypt"},
        {&st->name_decrypt, "decrypt"},
        {&st->name_encode, "encode"},
        {&st->name_decode, "decode"},
        {&st->utf8, "utf-8"},
    };
    for (auto& n : names) {
        *n.slot = interned(n.text);
        if (!*n.slot) return false;
    }
    st->zero = int64(0);
    st->one = int64(1);
    st->thousand = int64(1000);
    st->sequence_mask = int64(kSequenceMask);
    return st->zero && st->one && st->thousand && st->sequence_mask;
}

int exec(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!intern_all(st)) return -1;
    static bool fork_handler_registered = false;
    if (!fork_handler_registered) {
        if (int rc = pthread_atfork(nullptr, nullptr, after_fork_in_child)) {
            errno = rc;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        fork_handler_registered = true;
    }

    st->time_module = import_module("time");
    if (!bind(m, "time", st->time_module)) return -1;
    st->time_time = getattr(st->time_module.get(), st->name_time.get());
    st->aes = import_from("Crypto.Cipher", "AES");
    if (!st->time_time || !bind(m, "AES", st->aes)) return -1;
    st->pad = import_from("Crypto.Util.Padding", "pad");
    if (!bind(m, "pad", st->pad)) return -1;
    st->unpad = import_from("Crypto.Util.Padding", "unpad");
    if (!bind(m, "unpad", st->unpad)) return -1;

    Ref zero = int64(0), minus_one = int64(-1);
    ClassBuilder cls(m, "AuthBase");
    cls.add("machine_id", zero)
        .add("datacenter_id", zero)
        .add("sequence", zero)
        .add("last_timestamp", minus_one)
        .staticmethod({"_wait_for_next_millisecond", "AuthBase._wait_for_next_millisecond", kWaitDoc},
                      {{"last_timestamp"}}, wait_for_next_millisecond)
        .classmethod({"id_config", "AuthBase.id_config", kIdConfigDoc}, {{"cls"}, {"machine_id"}, {"datacenter_id"}},
                     id_config)
        .classmethod({"id_", "AuthBase.id_", kIdDoc}, {{"cls"}}, id_)
        .classmethod({"auth_encode", "AuthBase.auth_encode", kAuthEncodeDoc}, {{"cls"}, {"value"}, {"key"}},
                     auth_encode)
        .classmethod({"auth_decode", "AuthBase.auth_decode", kAuthDecodeDoc}, {{"cls"}, {"value"}, {"key"}},
                     auth_decode);
    return cls.bind_in_module() ? 0 : -1;
}

}  // namespace

VALKIN_MODULE(keyforge, State, exec)
