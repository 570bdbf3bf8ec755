// Shortcuts that give exactly what the interpreter's general path gives.
#pragma once

#include "ref.h"

namespace valkin {

// `isinstance(obj, cls)` for a class `cls`. The `__class__` probe that the
// general test makes is skipped where the instance's type cannot lie about
// its class (it reads attributes generically and keeps object's own
// `__class__` descriptor). -1 with the error set.
int isinstance_of(PyObject* obj, PyObject* cls);

// Whether `cls.<name>` (a class whose metaclass is exactly `type`) finds
// `original`, the class-method object the module stored, so that calling the
// attribute is calling that method's own function with `cls` first.
bool resolves_to(PyObject* cls, PyObject* name, PyObject* original);

// Makes `err` the exception being handled for the life of the scope, as an
// `except` block does: whatever is raised meanwhile gets it as __context__.
class Handling {
public:
    explicit Handling(PyObject* err) : previous_(steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(err);
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// What a guarded call made without `except_result` gives for `result`: the
// result itself, or None in place of an `Exception`. Other exceptions stay.
Ref as_guarded(Ref result);

}  // namespace valkin
