#include "klass.h"

namespace valkin {

Ref apply_guard(PyObject* guard, const char* text, const Ref& function) {
    if (!function) return {};
    Ref expectation = str(text);
    if (!expectation) return {};
    Ref decorator = call(guard, expectation.get());
    if (!decorator) return {};
    return call(decorator.get(), function.get());
}

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc) : module_(module), name_(name) {
    ns_ = steal(PyDict_New());
    if (!ns_) return;
    Ref module_name = getattr(module, "__name__");
    Ref qualname = str(name);
    if (!module_name || !qualname || PyDict_SetItemString(ns_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns_.get(), "__qualname__", qualname.get()) < 0) {
        failed_ = true;
        return;
    }
    if (doc) add("__doc__", str(doc));
}

ClassBuilder& ClassBuilder::add(const char* name, Ref value) {
    if (!ok()) return *this;
    if (!value || PyDict_SetItemString(ns_.get(), name, value.get()) < 0) failed_ = true;
    return *this;
}

ClassBuilder& ClassBuilder::classmethod(const FunctionDecl& decl, std::initializer_list<Param> params,
                                        BoundBody body) {
    if (!ok()) return *this;
    Ref fn = make_function(module_, decl, params, body);
    return add(decl.name, fn ? steal(PyClassMethod_New(fn.get())) : Ref());
}

ClassBuilder& ClassBuilder::staticmethod(const FunctionDecl& decl, std::initializer_list<Param> params,
                                         BoundBody body) {
    if (!ok()) return *this;
    Ref fn = make_function(module_, decl, params, body);
    return add(decl.name, fn ? steal(PyStaticMethod_New(fn.get())) : Ref());
}

ClassBuilder& ClassBuilder::method(const FunctionDecl& decl, std::initializer_list<Param> params, BoundBody body) {
    if (!ok()) return *this;
    return add(decl.name, make_function(module_, decl, params, body));
}

ClassBuilder& ClassBuilder::guarded(PyObject* guard, const char* text, const FunctionDecl& decl,
                                    std::initializer_list<Param> params, BoundBody body) {
    if (!ok()) return *this;
    Ref fn = make_function(module_, decl, params, body);
    return guarded(guard, text, fn);
}

ClassBuilder& ClassBuilder::guarded(PyObject* guard, const char* text, Ref function) {
    if (!ok()) return *this;
    if (!function) {
        failed_ = true;
        return *this;
    }
    Ref name = getattr(function.get(), "__name__");
    Ref wrapper = apply_guard(guard, text, function);
    Ref method = wrapper ? steal(PyClassMethod_New(wrapper.get())) : Ref();
    if (!name || !method || PyDict_SetItem(ns_.get(), name.get(), method.get()) < 0) failed_ = true;
    return *this;
}

Ref ClassBuilder::build() {
    if (!ok()) return {};
    Ref bases = steal(PyTuple_New(0));
    Ref name = str(name_);
    if (!bases || !name) return {};
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    return call(type, name.get(), bases.get(), ns_.get());
}

bool ClassBuilder::bind_in_module() {
    Ref cls = build();
    return cls && PyModule_AddObjectRef(module_, name_, cls.get()) == 0;
}

}  // namespace valkin
