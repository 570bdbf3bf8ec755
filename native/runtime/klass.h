// Building the package's plain classes.
//
// A class is made by calling `type(name, (), namespace)` with an ordered
// namespace, as a class statement would: `__module__`, `__qualname__`,
// `__doc__` when there is one, then the members in the order they were
// added. Members are added one after another; the first failing step is
// remembered and reported by `build`, so a module's class reads as a plain
// list of declarations.
#pragma once

#include "function.h"

namespace valkin {

class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, const char* doc = nullptr);

    // `name = value`.
    ClassBuilder& add(const char* name, Ref value);
    // `name = classmethod(function)`, unguarded.
    ClassBuilder& classmethod(const FunctionDecl& decl, std::initializer_list<Param> params, BoundBody body);
    // `name = staticmethod(function)`.
    ClassBuilder& staticmethod(const FunctionDecl& decl, std::initializer_list<Param> params, BoundBody body);
    // `name = function`, an instance method.
    ClassBuilder& method(const FunctionDecl& decl, std::initializer_list<Param> params, BoundBody body);
    // `name = classmethod(guard(text)(function))`: a guarded operation.
    ClassBuilder& guarded(PyObject* guard, const char* text, const FunctionDecl& decl,
                          std::initializer_list<Param> params, BoundBody body);
    ClassBuilder& guarded(PyObject* guard, const char* text, Ref function);

    // The class, or empty with the error of the first failed step.
    Ref build();
    // Builds the class and binds it in the module under its name.
    bool bind_in_module();

    PyObject* module() const { return module_; }

private:
    bool ok() const { return ns_ && !failed_; }
    PyObject* module_;
    const char* name_;
    Ref ns_;
    bool failed_ = false;
};

// `guard(text)(function)`: applies a guard factory as the class bodies do.
Ref apply_guard(PyObject* guard, const char* text, const Ref& function);

}  // namespace valkin
