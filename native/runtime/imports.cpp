#include "imports.h"

namespace valkin {

Ref import_module(const char* name) {
    Ref full = steal(PyImport_ImportModule(name));
    if (!full) return {};
    // `import a.b` binds `a`.
    return steal(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0));
}

namespace {

Ref take_name(PyObject* from, const char* module_text, const char* name) {
    Ref value = getattr(from, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_text);
    }
    return value;
}

}  // namespace

Ref import_from(const char* module, const char* name) {
    Ref fromlist = steal(Py_BuildValue("(s)", name));
    if (!fromlist) return {};
    Ref mod = steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
    if (!mod) return {};
    return take_name(mod.get(), module, name);
}

Ref import_relative(PyObject* module, const char* submodule, const char* name) {
    PyObject* globals = PyModule_GetDict(module);
    Ref fromlist = steal(Py_BuildValue("(s)", name));
    if (!globals || !fromlist) return {};
    Ref mod = steal(PyImport_ImportModuleLevel(submodule, globals, nullptr, fromlist.get(), 1));
    if (!mod) return {};
    return take_name(mod.get(), submodule, name);
}

bool bind(PyObject* module, const char* name, const Ref& value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

Ref lookup_global(PyObject* module, PyObject* name) {
    PyObject* found = nullptr;
    PyObject* ns = PyModule_GetDict(module);
    if (!ns) return {};
    if (PyDict_GetItemRef(ns, name, &found) != 0) {
        return steal(found);  // found, or an error
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return {};
    if (PyDict_GetItemRef(builtins, name, &found) != 0) {
        return steal(found);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace valkin
