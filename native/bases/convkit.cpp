// CommonBase: values converted to text, integers, floats, decimals and booleans.
//
// Namespace, in order: math, Decimal, ROUND_HALF_UP, _valkin_except, CommonBase.
//
// `math`, `Decimal` and `ROUND_HALF_UP` are looked up in the module namespace
// on every call, so rebinding them takes effect. The shortcuts below are each
// taken only where their result, and every effect on the decimal context, is
// the one the plain call gives:
//   - while the name `Decimal` is bound to the class imported at load time,
//     the quanta Decimal("1e-N") for small N are kept (building one is exact,
//     touches no context flags and cannot fail), a float is converted through
//     its exact decimal text (see decimal_of_float), and quantize gets its
//     rounding positionally;
//   - str() of a machine-sized int and int() of a short all-digit str are
//     written here.
#include "runtime/checks.h"
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

using namespace valkin;

namespace {

constexpr Py_ssize_t kCachedQuanta = 64;  // digits 0..63
constexpr int kWords = 6;
constexpr const char* kTrueWords[kWords] = {"true", "yes", "on", "y", "t", "1"};
constexpr const char* kFalseWords[kWords] = {"false", "no", "off", "n", "f", "0"};

struct State {
    Ref decimal;                            // the Decimal class imported at load time
    Ref name_math, name_decimal, name_round_half_up;
    Ref name_to_decimal, name_quantize, name_ceil, name_floor, name_strip, name_lower;
    Ref to_decimal_method;                  // CommonBase's own _to_decimal class method
    Ref round_half_up;                      // decimal.ROUND_HALF_UP as imported
    Ref getcontext, context_type;           // decimal.getcontext and decimal.Context as imported
    Ref decimal_half;                       // Decimal("0.5")
    Ref name_prec, name_emax, name_to_integral_exact;
    Ref rounding_kwnames;                   // ("rounding",)
    Ref quantum_prefix;                     // "1e-"
    Ref zero;                               // 0
    Ref decimal_zero;                       // Decimal(0), compared with float_inf to signal FloatOperation
    Ref float_inf;                          // float("inf")
    Ref refusal_head, refusal_tail;         // '无法将值 "' and '" 解释为布尔值'
    Ref true_words[kWords], false_words[kWords];
    Ref quanta[kCachedQuanta];              // Decimal("1e-N"), built on first use
    template <class F>
    void each(F&& f) {
        f(decimal), f(name_math), f(name_decimal), f(name_round_half_up);
        f(name_to_decimal), f(name_quantize), f(name_ceil), f(name_floor), f(name_strip), f(name_lower);
        f(to_decimal_method), f(round_half_up), f(getcontext), f(context_type), f(decimal_half);
        f(name_prec), f(name_emax), f(name_to_integral_exact);
        f(rounding_kwnames), f(quantum_prefix), f(zero), f(decimal_zero), f(float_inf);
        f(refusal_head), f(refusal_tail);
        for (Ref& r : true_words) f(r);
        for (Ref& r : false_words) f(r);
        for (Ref& r : quanta) f(r);
    }
};

State* state(Function* self) { return state_of<State>(self); }

// `if value:` — the truth value, -1 with the error set.
int truth(PyObject* value) {
    if (value == Py_False || value == Py_None) return 0;
    if (value == Py_True) return 1;
    return PyObject_IsTrue(value);
}

// The `digits` argument must be exactly an int (bool and other subclasses refused).
bool digits_ok(PyObject* digits) {
    if (PyLong_CheckExact(digits)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "digits",
                 "int", Py_TYPE(digits)->tp_name);
    return false;
}

// ---- texts and numbers built here ---------------------------------------------
//
// Each helper below gives exactly what the interpreter's own conversion gives
// for the inputs it accepts, and declines (returns false) for all others.

// A new exact str holding the ASCII bytes [p, p + n).
Ref ascii_text(const char* p, Py_ssize_t n) {
    Ref text = steal(PyUnicode_New(n, 127));
    if (text && n > 0) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), p, static_cast<std::size_t>(n));
    return text;
}

// Writes the decimal digits of v at p; returns the end.
char* write_unsigned(char* p, unsigned long long v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *p++ = digits[--n];
    return p;
}

// `str(obj)` of an exact int within a long long: its decimal digits, with a
// minus sign when negative (the general conversion builds a scratch number
// first).
bool small_int_text(PyObject* obj, Ref& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow) return false;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    char buf[24];
    char* p = buf;
    if (v < 0) *p++ = '-';
    p = write_unsigned(p, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v));
    out = ascii_text(buf, p - buf);
    return true;
}

// `int(text)` of an exact str made only of 1 to 18 ASCII digits: the number
// they spell in base 10 (no sign, blank or underscore to read).
bool digit_text_int(PyObject* text, Ref& out) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n < 1 || n > 18) return false;
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(text);
    long long v = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned d = static_cast<unsigned>(p[i]) - '0';
        if (d > 9) return false;
        v = v * 10 + d;
    }
    out = steal(PyLong_FromLongLong(v));
    return true;
}

// Unsigned integer in base 10**9, least significant limb first; large enough
// for m * 5**1074 and m * 2**971 with m < 2**53.
class Decimal9 {
public:
    explicit Decimal9(std::uint64_t v) {
        do {
            limb_[n_++] = static_cast<std::uint32_t>(v % kBase);
            v /= kBase;
        } while (v);
    }
    void multiply(std::uint32_t factor) {  // factor < 2**31
        std::uint64_t carry = 0;
        for (int i = 0; i < n_; ++i) {
            std::uint64_t t = std::uint64_t{limb_[i]} * factor + carry;
            limb_[i] = static_cast<std::uint32_t>(t % kBase);
            carry = t / kBase;
        }
        while (carry) {
            limb_[n_++] = static_cast<std::uint32_t>(carry % kBase);
            carry /= kBase;
        }
    }
    void multiply_power(std::uint32_t base, std::uint32_t chunk, int chunk_exponent, int exponent) {
        for (; exponent >= chunk_exponent; exponent -= chunk_exponent) multiply(chunk);
        std::uint32_t rest = 1;
        while (exponent-- > 0) rest *= base;
        if (rest != 1) multiply(rest);
    }
    // Writes the digits, without leading zeros, at p; returns the end.
    char* write(char* p) const {
        p = write_unsigned(p, limb_[n_ - 1]);
        for (int i = n_ - 2; i >= 0; --i) {
            std::uint32_t v = limb_[i];
            for (int k = 8; k >= 0; --k) {
                p[k] = static_cast<char>('0' + v % 10);
                v /= 10;
            }
            p += 9;
        }
        return p;
    }
    static constexpr int kMaxDigits = 100 * 9;

private:
    static constexpr std::uint64_t kBase = 1000000000;
    std::uint32_t limb_[100];  // only the first n_ are used
    int n_ = 0;
};

// 5**k for k = 0..27, the powers below 2**64.
constexpr std::uint64_t kPow5[28] = {
    1ULL, 5ULL, 25ULL, 125ULL, 625ULL, 3125ULL, 15625ULL, 78125ULL, 390625ULL, 1953125ULL, 9765625ULL,
    48828125ULL, 244140625ULL, 1220703125ULL, 6103515625ULL, 30517578125ULL, 152587890625ULL,
    762939453125ULL, 3814697265625ULL, 19073486328125ULL, 95367431640625ULL, 476837158203125ULL,
    2384185791015625ULL, 11920928955078125ULL, 59604644775390625ULL, 298023223876953125ULL,
    1490116119384765625ULL, 7450580596923828125ULL,
};

// The text "[-]<coefficient>[E-<k>]" from which the Decimal class builds the
// very number it builds from the finite double x: with x = +-n / 2**k in
// lowest terms, coefficient n * 5**k and exponent -k.
Ref exact_float_text(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const bool negative = bits >> 63;
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e = -1074;  // |x| = m * 2**e
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    }
    if (m == 0) {
        e = 0;
    } else if (e < 0) {  // lowest terms: drop the factors 2 the mantissa shares with 2**-e
        int shift = std::min(__builtin_ctzll(m), -e);
        m >>= shift;
        e += shift;
    }
    char buf[Decimal9::kMaxDigits + 16];
    char* p = buf;
    if (negative) *p++ = '-';
    std::uint64_t small = 0;
    if (e == 0) {
        p = write_unsigned(p, m);
    } else if (e < 0 && -e < 28 && !__builtin_mul_overflow(m, kPow5[-e], &small)) {
        p = write_unsigned(p, small);
    } else {
        Decimal9 coefficient(m);
        if (e > 0) coefficient.multiply_power(2, 1u << 29, 29, e);
        if (e < 0) coefficient.multiply_power(5, 1220703125u, 13, -e);  // 5**13
        p = coefficient.write(p);
    }
    if (e < 0) {
        *p++ = 'E';
        *p++ = '-';
        p = write_unsigned(p, static_cast<unsigned long long>(-e));
    }
    return ascii_text(buf, p - buf);
}

// `Decimal(x)` for an exact finite float, with Decimal the class imported at
// load time. Decimal(float) signals FloatOperation on the current context and
// then converts exactly; an ordering comparison of a Decimal with a float makes
// that same signal (the flag set, or the trap's exception raised), and the
// comparison of 0 with infinity signals nothing else. Parsing the exact text
// is itself exact and signals nothing.
Ref decimal_of_float(State* st, double x) {
    Ref signal = steal(PyObject_RichCompare(st->decimal_zero.get(), st->float_inf.get(), Py_LT));
    if (!signal) return {};
    Ref text = exact_float_text(x);
    if (!text) return {};
    return call(st->decimal.get(), text.get());
}

// ---- _to_str ---------------------------------------------------------------

constexpr const char* kToStrText = "期望将 obj 对象转换为 str 类型";
constexpr const char* kToStrDoc =
    "CommonBase._to_str(cls, obj, except_result='valkin_except_result')\n"
    "将给定的对象转换为字符串类型。\n"
    "\n"
    "如果 obj 的类型恰好是 str（不含子类），直接返回 obj 本身；否则返回 str(obj) 的结果。\n"
    "\n"
    "参数:\n"
    "- cls: 类方法的类对象。\n"
    "- obj: 需要转换的对象，可以是任意类型。\n"
    "- except_result: 转换失败时返回的默认值，未传入时为 None；"
    "传入 'valkin_except_result' 时改为抛出带有原因说明的同类异常。\n"
    "\n"
    "返回值:\n"
    "- 转换后的字符串。\n"
    "\n"
    "异常处理:\n"
    "- 如果 obj 的 __str__ 方法抛出异常，则返回 except_result 指定的值。";

Ref to_str(Function*, PyObject* const* a) {
    PyObject* obj = a[1];
    if (PyUnicode_CheckExact(obj)) return borrow(obj);
    Ref text;
    if (PyLong_CheckExact(obj) && small_int_text(obj, text)) return text;
    return steal(PyObject_Str(obj));
}

// ---- _to_decimal -----------------------------------------------------------

constexpr const char* kToDecimalText = "期望将 obj 对象转换为 float 类型";
constexpr const char* kToDecimalDoc =
    "CommonBase._to_decimal(cls, obj, int digits: int = 2, except_result='valkin_except_result')\n"
    "将给定的对象转换为 Decimal 类型，并进行四舍五入处理。\n"
    "\n"
    "参数:\n"
    "- obj: 需要转换的对象，通常为数字或字符串。\n"
    "- digits: 指定保留的小数位数，默认为 2。\n"
    "- except_result: 如果转换失败，返回的默认值，默认为 None。\n"
    "\n"
    "返回值:\n"
    "- 返回一个 Decimal 类型的对象，保留指定的小数位数，并进行四舍五入处理。";

// `Decimal("1e-" + str(digits))`, with `Decimal` looked up now.
Ref quantum_for(Function* self, State* st, PyObject* digits) {
    Ref decimal = lookup_global(self, st->name_decimal.get());
    if (!decimal) return {};
    Py_ssize_t slot = -1;
    if (decimal.get() == st->decimal.get()) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(digits, &overflow);
        if (n == -1 && PyErr_Occurred()) return {};
        if (!overflow && n >= 0 && n < kCachedQuanta) {
            slot = static_cast<Py_ssize_t>(n);
            if (st->quanta[slot]) return st->quanta[slot];
        }
    }
    Ref text = steal(PyObject_Str(digits));
    if (!text) return {};
    Ref full = steal(PyUnicode_Concat(st->quantum_prefix.get(), text.get()));
    if (!full) return {};
    Ref quantum = call(decimal.get(), full.get());
    if (quantum && slot >= 0 && Py_IS_TYPE(quantum.get(), reinterpret_cast<PyTypeObject*>(st->decimal.get()))) {
        st->quanta[slot] = quantum;
    }
    return quantum;
}

// `Decimal(obj).quantize(Decimal("1e-" + str(digits)), rounding=ROUND_HALF_UP)`.
Ref decimal_of(Function* self, State* st, PyObject* obj, PyObject* digits) {
    Ref decimal = lookup_global(self, st->name_decimal.get());
    if (!decimal) return {};
    Ref value;
    if (decimal.get() == st->decimal.get() && PyFloat_CheckExact(obj) && std::isfinite(PyFloat_AS_DOUBLE(obj))) {
        value = decimal_of_float(st, PyFloat_AS_DOUBLE(obj));
    } else {
        value = call(decimal.get(), obj);
    }
    if (!value) return {};
    Ref quantum = quantum_for(self, st, digits);
    if (!quantum) return {};
    if (Py_IS_TYPE(value.get(), reinterpret_cast<PyTypeObject*>(st->decimal.get()))) {
        // The class is immutable: looking its method up cannot fail or run code,
        // and its quantize(exp, rounding=None, context=None) binds a second
        // positional argument to `rounding` (without the keyword it skips
        // building a keyword dict).
        Ref rounding = lookup_global(self, st->name_round_half_up.get());
        if (!rounding) return {};
        PyObject* argv[] = {value.get(), quantum.get(), rounding.get()};
        return steal(PyObject_VectorcallMethod(st->name_quantize.get(), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               nullptr));
    }
    Ref quantize = getattr(value.get(), st->name_quantize.get());
    if (!quantize) return {};
    Ref rounding = lookup_global(self, st->name_round_half_up.get());
    if (!rounding) return {};
    PyObject* argv[] = {nullptr, quantum.get(), rounding.get()};
    return steal(PyObject_Vectorcall(quantize.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     st->rounding_kwnames.get()));
}

Ref to_decimal(Function* self, PyObject* const* a) {
    if (!digits_ok(a[2])) return {};
    return decimal_of(self, state(self), a[1], a[2]);
}

// `cls._to_decimal(obj, digits)`: through the class, so an override applies,
// and guarded, so a failure gives None. While the attribute still resolves to
// this class's own method, its body runs here directly with the same outcome.
Ref to_decimal_through(Function* self, State* st, PyObject* cls, PyObject* obj, PyObject* digits) {
    if (resolves_to(cls, st->name_to_decimal.get(), st->to_decimal_method.get())) {
        PyObject* args[] = {cls, obj, digits, Py_None};  // the body never reads except_result
        return as_guarded(to_decimal(self, args));
    }
    return call_method(cls, st->name_to_decimal.get(), obj, digits);
}

// ---- _to_float -------------------------------------------------------------

constexpr const char* kToFloatText = "期望将 obj 对象转换为 float 类型";
constexpr const char* kToFloatDoc =
    "CommonBase._to_float(cls, obj, int digits: int = 2, except_result='valkin_except_result')\n"
    "将给定的对象转换为浮点数类型。\n"
    "\n"
    "该方法首先将对象转换为 Decimal 类型，然后再将其转换为浮点数类型。\n"
    "如果转换过程中发生异常，将返回指定的异常结果。\n"
    "\n"
    "参数:\n"
    "- obj: 需要转换的对象，可以是任何可以被转换为 Decimal 类型的对象。\n"
    "- digits: 转换后浮点数的小数位数，默认为 2。\n"
    "- except_result: 当转换失败时返回的默认值，默认为 None。\n"
    "\n"
    "返回值:\n"
    "- 转换后的浮点数，如果转换失败则返回 except_result 指定的值。";

Ref to_float(Function* self, PyObject* const* a) {
    if (!digits_ok(a[2])) return {};
    // Through the class, so an override and the inner guard both apply.
    Ref d = to_decimal_through(self, state(self), a[0], a[1], a[2]);
    if (!d) return {};
    return steal(PyNumber_Float(d.get()));
}

// ---- _to_int ---------------------------------------------------------------

constexpr const char* kToIntText = "期望将 obj 对象转换为 int 类型";
constexpr const char* kToIntDoc =
    "CommonBase._to_int(cls, obj, ceil=False, floor=False, absolute=False, except_result='valkin_except_result')\n"
    "将给定的对象转换为整数类型。\n"
    "\n"
    "参数:\n"
    "- obj: 需要转换的对象，可以是数字类型（如 float, Decimal）或其他可转换为整数的类型。\n"
    "- ceil: 布尔值，如果为 True，则在转换前对 obj 进行向上取整。\n"
    "- floor: 布尔值，如果为 True，则在转换前对 obj 进行向下取整。\n"
    "- absolute: 布尔值，如果为 True，则返回 obj 的绝对值。\n"
    "- except_result: 如果转换过程中发生异常，返回的默认值。\n"
    "\n"
    "返回值:\n"
    "- 转换后的整数。如果 absolute 为 True，则返回其绝对值。";

// An int attribute of a decimal context, or -1 (nothing raised) when it is not one.
long context_number(PyObject* context, PyObject* name) {
    Ref value = getattr(context, name);
    long n = value && PyLong_CheckExact(value.get()) ? PyLong_AsLong(value.get()) : -1;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        n = -1;
    }
    return n;
}

// `int(cls._to_decimal(x, 0))` for a float x, computed here when the outcome
// is known without building the decimal: `cls._to_decimal` is this class's
// own, `Decimal` and `ROUND_HALF_UP` are the imported ones, |x| < 2**52 so x's
// integer part and the half test are exact in double arithmetic, and the
// current context (exactly a decimal.Context) has the precision and exponent
// range to hold the whole number, so quantize cannot fail. The context sees
// the same signals as the decimal route: FloatOperation from reading a float
// (an ordering comparison raises it the same way), then Inexact and Rounded
// when x has a fraction (0.5 made integral exactly raises just those two,
// whatever the context's rounding). A trapped
// signal makes the inner call give None, so int(None) fails as it would.
// `applies` is false, with nothing raised, where the shortcut does not hold.
Ref rounded_float_int(Function* self, State* st, PyObject* cls, PyObject* obj, bool& applies) {
    applies = false;
    if (!PyFloat_CheckExact(obj) || !(std::fabs(PyFloat_AS_DOUBLE(obj)) < 4503599627370496.0) ||
        !resolves_to(cls, st->name_to_decimal.get(), st->to_decimal_method.get())) {
        return {};
    }
    const double x = PyFloat_AS_DOUBLE(obj);
    // Whatever goes wrong while checking is left for the plain route to meet.
    Ref decimal = lookup_global(self, st->name_decimal.get());
    Ref rounding = decimal ? lookup_global(self, st->name_round_half_up.get()) : Ref();
    Ref context = rounding ? steal(PyObject_CallNoArgs(st->getcontext.get())) : Ref();
    if (!context) {
        PyErr_Clear();
        return {};
    }
    if (decimal.get() != st->decimal.get() || rounding.get() != st->round_half_up.get() ||
        !Py_IS_TYPE(context.get(), reinterpret_cast<PyTypeObject*>(st->context_type.get())) ||
        context_number(context.get(), st->name_prec.get()) < 16 ||
        context_number(context.get(), st->name_emax.get()) < 16) {
        return {};
    }
    applies = true;
    const double whole = std::trunc(x);
    const double fraction = x - whole;
    Ref signal = steal(PyObject_RichCompare(st->decimal_zero.get(), st->float_inf.get(), Py_LT));
    if (signal && fraction != 0) {
        PyObject* argv[] = {st->decimal_half.get()};
        signal = steal(PyObject_VectorcallMethod(st->name_to_integral_exact.get(), argv,
                                                 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    signal = as_guarded(std::move(signal));
    if (!signal) return {};
    if (signal.get() == Py_None) return steal(PyNumber_Long(Py_None));
    return steal(PyLong_FromDouble(std::fabs(fraction) >= 0.5 ? whole + std::copysign(1.0, x) : whole));
}

// `math.<name>(obj)`, with `math` looked up now.
Ref math_call(Function* self, State* st, PyObject* name, PyObject* obj) {
    Ref math = lookup_global(self, st->name_math.get());
    if (!math) return {};
    return call_method(math.get(), name, obj);
}

Ref to_int(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    Ref value = borrow(a[1]);
    Ref n;
    int ceil = truth(a[2]);
    if (ceil < 0) return {};
    if (ceil) {
        value = math_call(self, st, st->name_ceil.get(), a[1]);
    } else {
        int floor = truth(a[3]);
        if (floor < 0) return {};
        if (floor) {
            value = math_call(self, st, st->name_floor.get(), a[1]);
        } else {
            int rounds = isinstance_of(a[1], reinterpret_cast<PyObject*>(&PyFloat_Type));
            if (rounds == 0) {
                Ref decimal = lookup_global(self, st->name_decimal.get());
                if (!decimal) return {};
                rounds = isinstance_of(a[1], decimal.get());
            }
            if (rounds < 0) return {};
            if (rounds) {
                bool applies = false;
                n = rounded_float_int(self, st, cls, a[1], applies);
                if (applies && !n) return {};
                if (!applies) value = to_decimal_through(self, st, cls, a[1], st->zero.get());
            }
        }
    }
    if (!n) {
        if (!value) return {};
        if (!(PyUnicode_CheckExact(value.get()) && digit_text_int(value.get(), n))) {
            n = steal(PyNumber_Long(value.get()));
        }
        if (!n) return {};
    }
    int absolute = truth(a[4]);
    if (absolute < 0) return {};
    if (absolute) return steal(PyNumber_Absolute(n.get()));
    return n;
}

// ---- _to_bool --------------------------------------------------------------

constexpr const char* kToBoolText = "期望将 obj 对象转换为 bool 类型";
constexpr const char* kToBoolDoc =
    "CommonBase._to_bool(cls, obj, except_result='valkin_except_result')\n"
    "将给定的对象转换为布尔值。\n"
    "\n"
    "如果 obj 是字符串（包括 str 的子类），先去除首尾空白并转为小写，再与两组固定词比较：\n"
    "\"true\"、\"yes\"、\"on\"、\"y\"、\"t\"、\"1\" 得到 True，\n"
    "\"false\"、\"no\"、\"off\"、\"n\"、\"f\"、\"0\" 得到 False，\n"
    "例如 \" Yes \" 得到 True，\"OFF\" 得到 False。不在两组词中的字符串无法解释，视为转换失败。\n"
    "其他类型的对象按其真值判断，即返回 bool(obj)，例如 0、None、[] 得到 False，b\"false\" 得到 True。\n"
    "\n"
    "参数:\n"
    "- cls: 类方法的类对象。\n"
    "- obj: 需要转换的对象，可以是字符串或任意其他对象。\n"
    "- except_result: 转换失败时返回的默认值，未传入时为 None；"
    "传入 'valkin_except_result' 时改为抛出带有原因说明的同类异常。\n"
    "\n"
    "返回值:\n"
    "- True 或 False。\n"
    "\n"
    "异常处理:\n"
    "- 字符串不在两组词中时抛出 ValueError，消息为 无法将值 \"<规范化后的字符串>\" 解释为布尔值；\n"
    "  obj 的 __bool__ 或 __len__ 抛出的异常同样视为转换失败，返回 except_result 指定的值。";

enum Verdict { kFalse = 0, kTrue = 1, kNeither = 2 };

// Which list an ASCII str falls in after `strip().lower()`. For ASCII text both
// methods act on ASCII alone: strip drops the characters Py_UNICODE_ISSPACE
// accepts (the same test str.strip makes), lower maps A-Z only.
Verdict classify_ascii(PyObject* text) {
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text);
    while (begin < end && Py_UNICODE_ISSPACE(p[begin])) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(p[end - 1])) --end;
    Py_ssize_t len = end - begin;
    if (len > 5) return kNeither;
    char word[6] = {};
    for (Py_ssize_t i = 0; i < len; ++i) word[i] = static_cast<char>(Py_TOLOWER(p[begin + i]));
    auto in = [&](const char* const* list) {
        for (int i = 0; i < kWords; ++i) {
            const char* w = list[i];
            Py_ssize_t k = 0;
            while (k < len && w[k] == word[k]) ++k;
            if (k == len && w[k] == '\0') return true;
        }
        return false;
    };
    if (in(kTrueWords)) return kTrue;
    if (in(kFalseWords)) return kFalse;
    return kNeither;
}

// `s == word`, as the interpreter evaluates it.
int equals(PyObject* s, PyObject* word) {
    if (PyUnicode_CheckExact(s)) return PyUnicode_Compare(s, word) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    Ref result = steal(PyObject_RichCompare(s, word, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

Ref to_bool(Function* self, PyObject* const* a) {
    PyObject* obj = a[1];
    if (!PyUnicode_Check(obj)) {
        int b = PyObject_IsTrue(obj);
        if (b < 0) return {};
        return boolean(b);
    }
    State* st = state(self);
    Verdict verdict = kNeither;
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_ASCII(obj)) {
        verdict = classify_ascii(obj);
        if (verdict != kNeither) return boolean(verdict == kTrue);
    }
    Ref stripped = call_method(obj, st->name_strip.get());
    if (!stripped) return {};
    Ref s = call_method(stripped.get(), st->name_lower.get());
    if (!s) return {};
    if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_ASCII(obj)) {
        for (const Ref& w : st->true_words) {
            int eq = equals(s.get(), w.get());
            if (eq < 0) return {};
            if (eq) return boolean(true);
        }
        for (const Ref& w : st->false_words) {
            int eq = equals(s.get(), w.get());
            if (eq < 0) return {};
            if (eq) return boolean(false);
        }
    }
    Ref empty = steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    Ref shown = steal(PyObject_Format(s.get(), empty.get()));
    if (!shown) return {};
    Ref head = steal(PyUnicode_Concat(st->refusal_head.get(), shown.get()));
    if (!head) return {};
    Ref message = steal(PyUnicode_Concat(head.get(), st->refusal_tail.get()));
    if (!message) return {};
    PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

// ---- module ------------------------------------------------------------------

bool init_state(State* st) {
    st->name_math = interned("math");
    st->name_decimal = interned("Decimal");
    st->name_round_half_up = interned("ROUND_HALF_UP");
    st->name_to_decimal = interned("_to_decimal");
    st->name_quantize = interned("quantize");
    st->name_ceil = interned("ceil");
    st->name_floor = interned("floor");
    st->name_strip = interned("strip");
    st->name_lower = interned("lower");
    st->rounding_kwnames = steal(Py_BuildValue("(s)", "rounding"));
    st->quantum_prefix = str("1e-");
    st->zero = steal(PyLong_FromLong(0));
    st->refusal_head = str("无法将值 \"");
    st->refusal_tail = str("\" 解释为布尔值");
    if (!st->name_math || !st->name_decimal || !st->name_round_half_up || !st->name_to_decimal ||
        !st->name_quantize || !st->name_ceil || !st->name_floor || !st->name_strip || !st->name_lower ||
        !st->rounding_kwnames || !st->quantum_prefix || !st->zero || !st->refusal_head || !st->refusal_tail) {
        return false;
    }
    for (int i = 0; i < kWords; ++i) {
        st->true_words[i] = interned(kTrueWords[i]);
        st->false_words[i] = interned(kFalseWords[i]);
        if (!st->true_words[i] || !st->false_words[i]) return false;
    }
    return true;
}

int exec(PyObject* m) {
    auto* st = static_cast<State*>(PyModule_GetState(m));
    if (!st || !init_state(st)) return -1;

    Ref math = import_module("math");
    if (!bind(m, "math", math)) return -1;
    Ref decimal = import_from("decimal", "Decimal");
    if (!bind(m, "Decimal", decimal)) return -1;
    if (!PyType_Check(decimal.get())) {
        PyErr_SetString(PyExc_ImportError, "decimal.Decimal is not a class");
        return -1;
    }
    st->decimal = decimal;
    st->decimal_zero = call(decimal.get(), st->zero.get());
    st->float_inf = steal(PyFloat_FromDouble(HUGE_VAL));
    if (!st->decimal_zero || !st->float_inf) return -1;
    st->round_half_up = import_from("decimal", "ROUND_HALF_UP");
    if (!bind(m, "ROUND_HALF_UP", st->round_half_up)) return -1;
    st->getcontext = import_from("decimal", "getcontext");
    st->context_type = import_from("decimal", "Context");
    st->name_prec = interned("prec");
    st->name_emax = interned("Emax");
    st->name_to_integral_exact = interned("to_integral_exact");
    Ref half = str("0.5");
    if (!st->getcontext || !st->context_type || !st->name_prec || !st->name_emax || !st->name_to_integral_exact ||
        !half) {
        return -1;
    }
    st->decimal_half = call(decimal.get(), half.get());
    if (!st->decimal_half) return -1;
    Ref guard = import_relative(m, "guardrail", "_valkin_except");
    if (!bind(m, "_valkin_except", guard)) return -1;

    const Param digits{"digits", int_default(2), "int"};
    ClassBuilder cls(m, "CommonBase");
    cls.guarded(guard.get(), kToStrText, {"_to_str", "CommonBase._to_str", kToStrDoc},
                {{"cls"}, {"obj"}, except_result_param}, to_str)
        .guarded(guard.get(), kToIntText, {"_to_int", "CommonBase._to_int", kToIntDoc},
                 {{"cls"}, {"obj"}, {"ceil", false_default}, {"floor", false_default}, {"absolute", false_default},
                  except_result_param},
                 to_int)
        .guarded(guard.get(), kToFloatText, {"_to_float", "CommonBase._to_float", kToFloatDoc},
                 {{"cls"}, {"obj"}, digits, except_result_param}, to_float)
        .guarded(guard.get(), kToDecimalText, {"_to_decimal", "CommonBase._to_decimal", kToDecimalDoc},
                 {{"cls"}, {"obj"}, digits, except_result_param}, to_decimal)
        .guarded(guard.get(), kToBoolText, {"_to_bool", "CommonBase._to_bool", kToBoolDoc},
                 {{"cls"}, {"obj"}, except_result_param}, to_bool);
    if (!cls.bind_in_module()) return -1;
    Ref common = getattr(m, "CommonBase");
    if (!common) return -1;
    st->to_decimal_method = borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(common.get()),
                                                  st->name_to_decimal.get()));
    return 0;
}

}  // namespace

VALKIN_MODULE(convkit, State, exec)
