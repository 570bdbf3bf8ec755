#include "function.h"

#include <algorithm>
#include <cstddef>

namespace valkin {
namespace {

PyTypeObject* function_type = nullptr;

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

// ---- call paths -----------------------------------------------------------

PyObject* bound_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_fn(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams) {
        return f->bound(f, args).release();
    }
    PyObject* bound[kMaxParams];
    if (kwnames == nullptr && nargs >= f->nrequired && nargs < f->nparams) {
        // Positional arguments only, the rest from the defaults.
        std::copy(args, args + nargs, bound);
        std::copy(&PyTuple_GET_ITEM(f->defaults, nargs - f->nrequired),
                  &PyTuple_GET_ITEM(f->defaults, 0) + PyTuple_GET_SIZE(f->defaults), bound + nargs);
    } else if (!detail::bind_arguments(f, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return f->bound(f, bound).release();
}

PyObject* raw_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_fn(callable);
    return f->raw(f, args, PyVectorcall_NARGS(nargsf), kwnames).release();
}

// ---- lifetime -------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->type_params);
    Py_VISIT(f->signature);
    Py_VISIT(f->names);
    Py_VISIT(f->defaults);
    Py_VISIT(f->owner);
    Py_VISIT(f->closure);
    return 0;
}

int fn_clear(PyObject* self) {
    Function* f = as_fn(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->names);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->closure);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weaklist) {
        PyObject_ClearWeakRefs(self);
    }
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---- protocols ------------------------------------------------------------

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

// ---- attributes -----------------------------------------------------------

// Getter and setter of a str-valued slot; deletion is refused like on functions.
template <std::size_t Offset>
PyObject* get_slot(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}

template <std::size_t Offset>
int set_str_slot(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

template <std::size_t Offset>
int set_any_slot(PyObject* self, PyObject* value, void*) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_XSETREF(*slot, Py_XNewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_fn(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(value));
    return 0;
}

int set_type_params(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_fn(self)->type_params, Py_NewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    Function* f = as_fn(self);
    if (f->defaults == nullptr || PyTuple_GET_SIZE(f->defaults) == 0) {
        Py_RETURN_NONE;
    }
    return Py_NewRef(f->defaults);
}

// inspect.Signature of a bound function, built on first request and kept.
Ref build_signature(Function* f) {
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return {};
    Ref parameter = getattr(inspect.get(), "Parameter");
    Ref signature = getattr(inspect.get(), "Signature");
    if (!parameter || !signature) return {};
    Ref kind = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD");
    Ref params = steal(PyList_New(0));
    if (!kind || !params) return {};
    Py_ssize_t first_default = f->nparams - PyTuple_GET_SIZE(f->defaults);
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->names, i);
        Ref kwargs = steal(PyDict_New());
        if (!kwargs) return {};
        if (i >= first_default &&
            PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(f->defaults, i - first_default)) < 0) {
            return {};
        }
        if (f->annotations) {
            PyObject* ann = nullptr;
            if (PyDict_GetItemRef(f->annotations, name, &ann) < 0) return {};
            Ref owned = steal(ann);
            if (owned && PyDict_SetItemString(kwargs.get(), "annotation", owned.get()) < 0) return {};
        }
        Ref args = steal(PyTuple_Pack(2, name, kind.get()));
        if (!args) return {};
        Ref p = steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return {};
    }
    return call(signature.get(), params.get());
}

PyObject* get_signature(PyObject* self, void*) {
    Function* f = as_fn(self);
    if (f->signature) {
        return Py_NewRef(f->signature);
    }
    if (f->names == nullptr) {
        // *args, **kwargs: nothing of its own to tell, so inspect looks further
        // (through __wrapped__ when functools.wraps put one there).
        PyErr_SetString(PyExc_AttributeError, "__signature__");
        return nullptr;
    }
    Ref sig = build_signature(f);
    if (!sig) return nullptr;
    f->signature = Py_NewRef(sig.get());
    return sig.release();
}

#define SLOT(field) offsetof(Function, field)

PyGetSetDef fn_getset[] = {
    {"__name__", get_slot<SLOT(name)>, set_str_slot<SLOT(name)>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_slot<SLOT(qualname)>, set_str_slot<SLOT(qualname)>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__module__", get_slot<SLOT(module_name)>, set_any_slot<SLOT(module_name)>, nullptr, nullptr},
    {"__doc__", get_slot<SLOT(doc)>, set_any_slot<SLOT(doc)>, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_slot<SLOT(type_params)>, set_type_params, nullptr, nullptr},
    {"__signature__", get_signature, set_any_slot<SLOT(signature)>, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, SLOT(dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, SLOT(weaklist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, SLOT(vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "valkin.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots,
};

PyTypeObject* the_type() {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fn_spec));
    }
    return function_type;
}

Ref default_value(const Default& d) {
    switch (d.kind) {
        case Default::None: return none();
        case Default::False: return boolean(false);
        case Default::True: return boolean(true);
        case Default::Str: return interned(d.text);
        case Default::Int: return steal(PyLong_FromLong(d.number));
        case Default::Required: break;
    }
    return {};
}

// Allocates a function with the metadata every kind shares.
Ref new_function(PyObject* owner, const FunctionDecl& decl, PyObject* closure) {
    PyTypeObject* tp = the_type();
    if (tp == nullptr) return {};
    Ref module_name = steal(PyObject_GetAttrString(owner, "__name__"));
    if (!module_name) return {};
    Function* f = PyObject_GC_New(Function, tp);
    if (f == nullptr) return {};
    Ref result = steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = nullptr;
    f->dict = nullptr;
    f->weaklist = nullptr;
    f->name = PyUnicode_InternFromString(decl.name);
    f->qualname = PyUnicode_FromString(decl.qualname);
    f->module_name = module_name.release();
    f->doc = decl.doc ? PyUnicode_FromString(decl.doc) : Py_NewRef(Py_None);
    f->annotations = nullptr;
    f->type_params = PyTuple_New(0);
    f->signature = nullptr;
    f->names = nullptr;
    f->defaults = nullptr;
    f->owner = Py_NewRef(owner);
    f->closure = Py_XNewRef(closure);
    f->nparams = 0;
    f->nrequired = 0;
    f->bound = nullptr;
    f->raw = nullptr;
    PyObject_GC_Track(result.get());
    if (!f->name || !f->qualname || !f->doc || !f->type_params) return {};
    return result;
}

}  // namespace

bool is_function(PyObject* obj) { return function_type != nullptr && Py_IS_TYPE(obj, function_type); }

Ref make_function(PyObject* owner, const FunctionDecl& decl, std::initializer_list<Param> params, BoundBody body,
                  PyObject* closure) {
    if (params.size() > static_cast<std::size_t>(kMaxParams)) {
        return fail(PyExc_SystemError, "too many parameters for a native function");
    }
    Ref result = new_function(owner, decl, closure);
    if (!result) return {};
    Function* f = as_fn(result.get());
    Py_ssize_t n = static_cast<Py_ssize_t>(params.size());
    Ref names = steal(PyTuple_New(n));
    Ref defaults = steal(PyList_New(0));
    if (!names || !defaults) return {};
    Py_ssize_t required = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = params.begin()[i];
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (name == nullptr) return {};
        PyTuple_SET_ITEM(names.get(), i, name);
        if (p.def.kind == Default::Required) {
            required = i + 1;
        } else {
            Ref value = default_value(p.def);
            if (!value || PyList_Append(defaults.get(), value.get()) < 0) return {};
        }
        if (p.annotation) {
            if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return {};
            Ref ann = str(p.annotation);
            if (!ann || PyDict_SetItem(f->annotations, name, ann.get()) < 0) return {};
        }
    }
    if (PyList_GET_SIZE(defaults.get()) != n - required) {
        return fail(PyExc_SystemError, "a parameter without a default follows one with a default");
    }
    f->defaults = PyList_AsTuple(defaults.get());
    if (f->defaults == nullptr) return {};
    f->names = names.release();
    f->nparams = n;
    f->nrequired = required;
    f->bound = body;
    f->vectorcall = bound_vectorcall;
    return result;
}

Ref make_raw_function(PyObject* owner, const FunctionDecl& decl, RawBody body, PyObject* closure) {
    Ref result = new_function(owner, decl, closure);
    if (!result) return {};
    Function* f = as_fn(result.get());
    f->raw = body;
    f->vectorcall = raw_vectorcall;
    return result;
}

}  // namespace valkin
