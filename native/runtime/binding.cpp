// Argument binding for bound functions, off the fast path.
//
// The checks run in the order CPython runs them for a Python function with
// the same parameters, and the TypeError texts are the same, keyword
// suggestions ("Did you mean ...?") included.
#include "function.h"

#include <algorithm>
#include <cstdint>

namespace valkin {
namespace {

// ---- keyword suggestions: CPython's edit distance, case-insensitive moves cheaper

constexpr std::size_t kMaxStringSize = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(const char* a, std::size_t a_size, const char* b, std::size_t b_size, std::size_t max_cost) {
    if (a == b) return 0;
    while (a_size && b_size && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    std::size_t buffer[kMaxStringSize];
    std::size_t tmp = kMoveCost;
    for (std::size_t i = 0; i < a_size; ++i) {
        buffer[i] = tmp;
        tmp += kMoveCost;
    }
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        std::size_t distance = result = bi * kMoveCost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t i = 0; i < a_size; ++i) {
            std::size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            std::size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// The parameter name closest to `keyword`, or nullptr (borrowed).
PyObject* suggest(Function* f, PyObject* keyword) {
    Py_ssize_t name_size;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (name == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject* item = PyTuple_GET_ITEM(f->names, i);
        Py_ssize_t item_size;
        const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (item_str == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        Py_ssize_t max_distance = (name_size + item_size + 3) * static_cast<Py_ssize_t>(kMoveCost) / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        auto d = static_cast<Py_ssize_t>(edit_distance(name, static_cast<std::size_t>(name_size), item_str,
                                                       static_cast<std::size_t>(item_size),
                                                       static_cast<std::size_t>(max_distance)));
        if (d > max_distance) continue;
        if (best == nullptr || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    return best;
}

// ---- messages --------------------------------------------------------------

Py_NO_INLINE void unexpected_keyword(Function* f, PyObject* keyword) {
    PyObject* suggestion = suggest(f, keyword);
    if (suggestion) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, keyword, suggestion);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
    }
}

Py_NO_INLINE void too_many_positional(Function* f, Py_ssize_t given) {
    Py_ssize_t ndefaults = PyTuple_GET_SIZE(f->defaults);
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = steal(PyUnicode_FromFormat("from %zd to %zd", f->nparams - ndefaults, f->nparams));
    } else {
        plural = f->nparams != 1;
        sig = steal(PyUnicode_FromFormat("%zd", f->nparams));
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

Py_NO_INLINE void missing_arguments(Function* f, PyObject* const* bound) {
    Ref names = steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < f->nrequired; ++i) {
        if (bound[i] == nullptr) {
            Ref r = steal(PyObject_Repr(PyTuple_GET_ITEM(f->names, i)));
            if (!r || PyList_Append(names.get(), r.get()) < 0) return;
        }
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
                                              PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0) return;
        Ref comma = str(", ");
        if (!comma) return;
        Ref head = steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head) return;
        text = steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", f->qualname,
                 static_cast<int>(len), len == 1 ? "" : "s", text.get());
}

// Index of the parameter called `keyword`, -1 for none, -2 on error.
Py_ssize_t find_parameter(Function* f, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (PyTuple_GET_ITEM(f->names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        int eq = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->names, i), Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

}  // namespace

namespace detail {

bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t n = f->nparams;
    std::fill(out, out + n, nullptr);
    const Py_ssize_t npos = std::min(nargs, n);
    std::copy(args, args + npos, out);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return false;
            }
            Py_ssize_t i = find_parameter(f, keyword);
            if (i == -2) return false;
            if (i == -1) {
                unexpected_keyword(f, keyword);
                return false;
            }
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    if (nargs > n) {
        too_many_positional(f, nargs);
        return false;
    }
    for (Py_ssize_t i = nargs; i < f->nrequired; ++i) {
        if (out[i] == nullptr) {
            missing_arguments(f, out);
            return false;
        }
    }
    for (Py_ssize_t i = std::max(nargs, f->nrequired); i < n; ++i) {
        if (out[i] == nullptr) {
            out[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
        }
    }
    return true;
}

}  // namespace detail
}  // namespace valkin
