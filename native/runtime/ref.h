// Owning references to Python objects.
//
// A `Ref` owns one strong reference, or nothing. An empty `Ref` returned from
// a step means "failed, with the Python error set", the same convention the C
// API follows with NULL. Copying adds a reference, destruction drops it, so
// module code never balances reference counts by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace valkin {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { return steal(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }

// Sets `exc` with `message` and returns the empty reference, for `return fail(...)`.
inline Ref fail(PyObject* exc, const char* message) noexcept {
    PyErr_SetString(exc, message);
    return {};
}

// Calls `callable` with the given arguments (vectorcall, no keywords).
template <class... A>
Ref call(PyObject* callable, A... args) noexcept {
    PyObject* argv[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls the method `name` (an interned str) of `self`.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) noexcept {
    PyObject* argv[] = {self, args...};
    return steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) noexcept { return steal(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) noexcept { return steal(PyObject_GetAttrString(obj, name)); }
inline Ref str(const char* utf8) noexcept { return steal(PyUnicode_FromString(utf8)); }
inline Ref interned(const char* utf8) noexcept { return steal(PyUnicode_InternFromString(utf8)); }

}  // namespace valkin
