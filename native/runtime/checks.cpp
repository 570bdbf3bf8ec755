#include "checks.h"

namespace valkin {
namespace {

// The name `__class__` and object's own descriptor under it, captured on
// first use and kept for good (object never lets go of its descriptor).
struct ClassProbe {
    PyObject* name = nullptr;
    PyObject* descriptor = nullptr;
};

const ClassProbe& class_probe() {
    static ClassProbe probe;
    if (probe.descriptor == nullptr) {
        if (probe.name == nullptr) probe.name = PyUnicode_InternFromString("__class__");
        if (probe.name == nullptr) {
            PyErr_Clear();
        } else {
            probe.descriptor = _PyType_Lookup(&PyBaseObject_Type, probe.name);  // borrowed
        }
    }
    return probe;
}

bool honest_class(PyTypeObject* tp) {
    if (tp == &PyFunction_Type || tp == &PyMethod_Type || tp == &PyCFunction_Type || tp == &PyType_Type ||
        tp == &PyFloat_Type || tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyBool_Type ||
        tp == &PyBytes_Type || tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyDict_Type ||
        tp == Py_TYPE(Py_None)) {
        return true;
    }
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    const ClassProbe& probe = class_probe();
    return probe.descriptor != nullptr && _PyType_Lookup(tp, probe.name) == probe.descriptor;
}

}  // namespace

int isinstance_of(PyObject* obj, PyObject* cls) {
    if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls)) return 1;
    if (Py_IS_TYPE(cls, &PyType_Type) && honest_class(Py_TYPE(obj))) {
        return PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
    }
    return PyObject_IsInstance(obj, cls);
}

bool resolves_to(PyObject* cls, PyObject* name, PyObject* original) {
    return original != nullptr && Py_IS_TYPE(cls, &PyType_Type) &&
           _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name) == original;
}

Ref as_guarded(Ref result) {
    if (!result && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return none();
    }
    return result;
}

}  // namespace valkin
