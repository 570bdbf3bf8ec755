// The exception guard, its accessor class and the undefined marker.
//
// Namespace, in order: wraps, DecoratorBase, _valkin_except, _Undefined.
#include "runtime/checks.h"
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

using namespace valkin;

namespace {

struct State {
    Ref sentinel;        // "valkin_except_result"
    Ref except_result;   // the keyword the guard reads
    Ref reason_open;     // "，异常原因：{"
    Ref reason_close;    // "}"
    Ref name_wraps, name_valkin_except, name_undefined;
    template <class F>
    void each(F&& f) {
        f(sentinel), f(except_result), f(reason_open), f(reason_close);
        f(name_wraps), f(name_valkin_except), f(name_undefined);
    }
};

// ---- the wrapper -----------------------------------------------------------

// `str(exception) + "，异常原因：{" + str(err) + "}"`.
Ref compose_message(State* st, PyObject* exception, PyObject* err) {
    Ref expected = steal(PyObject_Str(exception));
    if (!expected) return {};
    Ref reason = steal(PyObject_Str(err));
    if (!reason) return {};
    Ref head = steal(PyUnicode_Concat(expected.get(), st->reason_open.get()));
    if (!head) return {};
    Ref body = steal(PyUnicode_Concat(head.get(), reason.get()));
    if (!body) return {};
    return steal(PyUnicode_Concat(body.get(), st->reason_close.get()));
}

// `type(err)(message)`. A class that cannot be built from one message (its
// constructor wants more) gives way to the first class of its MRO that can.
Ref build_exception(PyObject* err, PyObject* message) {
    PyTypeObject* cls = Py_TYPE(err);
    Ref made = call(reinterpret_cast<PyObject*>(cls), message);
    if (made || !PyErr_ExceptionMatches(PyExc_Exception)) return made;
    Ref first_failure = steal(PyErr_GetRaisedException());
    PyObject* mro = cls->tp_mro;
    for (Py_ssize_t i = 1; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyExceptionClass_Check(base)) break;
        made = call(base, message);
        if (made) return made;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    PyErr_SetRaisedException(first_failure.release());
    return {};
}

// `raise made`, with the interpreter's refusal of what is not an exception.
Ref raise(PyObject* made) {
    if (PyExceptionInstance_Check(made)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made)), made);
    } else if (PyExceptionClass_Check(made)) {
        PyErr_SetNone(made);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return {};
}

// `fallback == sentinel` for the fallbacks whose comparison with a str runs
// no code of their own (None, exact str, the plain built-in containers and
// numbers): 1 or 0. -1 when the comparison has to be made.
int plain_equals_sentinel(PyObject* fallback, PyObject* sentinel) {
    if (fallback == Py_None || PyBool_Check(fallback) || PyLong_CheckExact(fallback) ||
        PyFloat_CheckExact(fallback) || PyList_CheckExact(fallback) || PyTuple_CheckExact(fallback) ||
        PyDict_CheckExact(fallback) || PyBytes_CheckExact(fallback)) {
        return 0;
    }
    if (PyUnicode_CheckExact(fallback)) {
        return fallback == sentinel || PyUnicode_Compare(fallback, sentinel) == 0;
    }
    return -1;
}

// What the guard does once the wrapped call raised.
Py_NO_INLINE Ref guard_failed(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    State* st = state_of<State>(self);
    Ref err = steal(PyErr_GetRaisedException());
    PyObject* fallback = Py_None;
    if (kwnames) {
        for (Py_ssize_t k = 0, n = PyTuple_GET_SIZE(kwnames); k < n; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (key == st->except_result.get() || PyUnicode_Compare(key, st->except_result.get()) == 0) {
                fallback = args[nargs + k];
                break;
            }
        }
    }
    Ref keep = borrow(fallback);
    int equal = plain_equals_sentinel(fallback, st->sentinel.get());
    if (equal == 0) return keep;
    Handling handling(err.get());
    if (equal < 0) equal = PyObject_RichCompareBool(fallback, st->sentinel.get(), Py_EQ);
    if (equal < 0) return {};
    if (!equal) return keep;
    Ref message = compose_message(st, PyTuple_GET_ITEM(self->closure, 1), err.get());
    if (!message) return {};
    Ref made = build_exception(err.get(), message.get());
    if (!made) return {};
    return raise(made.get());
}

// wrapper(*args, **kwargs); closure: (func, exception).
Ref guard_call(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* func = PyTuple_GET_ITEM(self->closure, 0);
    vectorcallfunc direct = PyVectorcall_Function(func);
    PyObject* result = direct ? direct(func, args, static_cast<size_t>(nargs), kwnames)
                              : PyObject_Vectorcall(func, args, static_cast<size_t>(nargs), kwnames);
    if (result) return steal(result);
    return guard_failed(self, args, nargs, kwnames);
}

// decorator(func); closure: the expectation text.
Ref decorator(Function* self, PyObject* const* a) {
    PyObject* func = a[0];
    Ref closure = steal(PyTuple_Pack(2, func, self->closure));
    if (!closure) return {};
    Ref wrapper = make_raw_function(self->owner, {"wrapper", "_valkin_except.<locals>.decorator.<locals>.wrapper"},
                                    guard_call, closure.get());
    if (!wrapper) return {};
    Ref wraps = lookup_global(self, state_of<State>(self)->name_wraps.get());
    if (!wraps) return {};
    Ref apply = call(wraps.get(), func);
    if (!apply) return {};
    return call(apply.get(), wrapper.get());
}

// _valkin_except(exception)
Ref valkin_except(Function* self, PyObject* const* a) {
    return make_function(self->owner, {"decorator", "_valkin_except.<locals>.decorator"}, {{"func"}}, decorator, a[0]);
}

// ---- DecoratorBase ---------------------------------------------------------

Ref get_valkin_except(Function* self, PyObject* const*) {
    return lookup_global(self, state_of<State>(self)->name_valkin_except.get());
}

Ref undefined(Function* self, PyObject* const*) {
    Ref cls = lookup_global(self, state_of<State>(self)->name_undefined.get());
    if (!cls) return {};
    return steal(PyObject_CallNoArgs(cls.get()));
}

// ---- _Undefined ------------------------------------------------------------

Ref always_false(Function*, PyObject* const*) { return boolean(false); }

Ref undefined_repr(Function*, PyObject* const*) { return str("<undefined>"); }

int exec(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    st->sentinel = interned("valkin_except_result");
    st->except_result = interned("except_result");
    st->reason_open = str("，异常原因：{");
    st->reason_close = str("}");
    st->name_wraps = interned("wraps");
    st->name_valkin_except = interned("_valkin_except");
    st->name_undefined = interned("_Undefined");
    if (!st->sentinel || !st->except_result || !st->reason_open || !st->reason_close || !st->name_wraps ||
        !st->name_valkin_except || !st->name_undefined) {
        return -1;
    }

    if (!bind(m, "wraps", import_from("functools", "wraps"))) return -1;

    ClassBuilder decorator_base(m, "DecoratorBase");
    decorator_base
        .classmethod({"_get_valkin_except", "DecoratorBase._get_valkin_except", "DecoratorBase._get_valkin_except(cls)"},
                     {{"cls"}}, get_valkin_except)
        .classmethod({"_undefined", "DecoratorBase._undefined", "DecoratorBase._undefined(cls)"}, {{"cls"}}, undefined);
    if (!decorator_base.bind_in_module()) return -1;

    if (!bind(m, "_valkin_except",
              make_function(m, {"_valkin_except", "_valkin_except", "_valkin_except(exception)"}, {{"exception"}},
                            valkin_except))) {
        return -1;
    }

    ClassBuilder marker(m, "_Undefined");
    marker.staticmethod({"__nonzero__", "_Undefined.__nonzero__", "_Undefined.__nonzero__()"}, {}, always_false)
        .method({"__bool__", "_Undefined.__bool__", "_Undefined.__bool__(self)"}, {{"self"}}, always_false)
        .method({"__repr__", "_Undefined.__repr__", "_Undefined.__repr__(self)"}, {{"self"}}, undefined_repr);
    return marker.bind_in_module() ? 0 : -1;
}

}  // namespace

VALKIN_MODULE(guardrail, State, exec)
