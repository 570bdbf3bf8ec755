// The native function type.
//
// Every undecorated operation, the guard's decorator and wrapper, and the
// small helpers of the package are `Function` objects: callables that look
// like Python functions to `functools`, `inspect` and `pickle` (name,
// qualified name, module, doc, `__dict__`, annotations, a signature) and bind
// like functions when stored on a class.
//
// Two call paths, chosen when the function is made:
//   - bound: positional-or-keyword parameters with defaults, bound exactly as
//     CPython binds a Python function (same TypeError texts); the body gets
//     one borrowed argument per parameter;
//   - raw: `*args, **kwargs`; the body gets the vectorcall arguments as they
//     came.
#pragma once

#include "ref.h"

#include <initializer_list>

namespace valkin {

struct Function;

// Body of a bound function: `args` holds exactly one borrowed object per parameter.
using BoundBody = Ref (*)(Function* self, PyObject* const* args);
// Body of a raw function: the vectorcall arguments unchanged.
using RawBody = Ref (*)(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A parameter's default value, written as a literal in the declaration.
struct Default {
    enum Kind { Required, None, False, True, Str, Int } kind = Required;
    const char* text = nullptr;
    long number = 0;
};
inline constexpr Default required{};
inline constexpr Default none_default{Default::None};
inline constexpr Default false_default{Default::False};
inline constexpr Default str_default(const char* s) { return {Default::Str, s, 0}; }
inline constexpr Default int_default(long n) { return {Default::Int, nullptr, n}; }

struct Param {
    const char* name;
    Default def = required;
    const char* annotation = nullptr;  // stored as the string itself, e.g. "int"
};

// The guarded operations' last parameter.
inline constexpr Param except_result_param{"except_result", {Default::Str, "valkin_except_result", 0}};

inline constexpr int kMaxParams = 12;

struct FunctionDecl {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;  // nullptr gives __doc__ None
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;   // __module__
    PyObject* doc;
    PyObject* annotations;   // nullptr until asked for or given
    PyObject* type_params;
    PyObject* signature;     // explicitly set, or computed on first request
    PyObject* names;         // tuple of interned parameter names (bound)
    PyObject* defaults;      // tuple: defaults of the last parameters (bound)
    PyObject* owner;         // the module that made the function
    PyObject* closure;       // whatever the body needs, or nullptr
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    BoundBody bound;
    RawBody raw;
};

// Makes a bound function of `owner` (a module object).
Ref make_function(PyObject* owner, const FunctionDecl& decl, std::initializer_list<Param> params,
                  BoundBody body, PyObject* closure = nullptr);
// Makes a raw `*args, **kwargs` function of `owner`.
Ref make_raw_function(PyObject* owner, const FunctionDecl& decl, RawBody body, PyObject* closure = nullptr);

bool is_function(PyObject* obj);

// The module state of the module that made `f`.
template <class State>
State* state_of(Function* f) {
    return static_cast<State*>(PyModule_GetState(f->owner));
}

namespace detail {
// Binds a call that missed the fast path into `out`; false with TypeError set on a mismatch.
bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
}  // namespace detail

}  // namespace valkin
