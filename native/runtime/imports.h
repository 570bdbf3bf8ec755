// Imports and module-level names.
//
// The operations look the names their module imported up in the module's
// namespace at each call, so rebinding or patching a name takes effect. The
// lookup is a dict lookup; a caller compares the object found by identity
// with the one captured at import to decide whether its native fast path
// still applies.
#pragma once

#include "function.h"

namespace valkin {

// `import name`; the top-level package for dotted names, like the statement binds.
Ref import_module(const char* name);
// `from module import name`.
Ref import_from(const char* module, const char* name);
// `from .submodule import name`, relative to the package of `module`.
Ref import_relative(PyObject* module, const char* submodule, const char* name);

// Binds `name` in the namespace of `module` (keeps a reference of its own).
bool bind(PyObject* module, const char* name, const Ref& value);

// The object bound to `name` (an interned str) in the namespace of `module`,
// then in the builtins; NameError as the interpreter words it.
Ref lookup_global(PyObject* module, PyObject* name);
// The same in the namespace of the module that made `f`.
inline Ref lookup_global(Function* f, PyObject* name) { return lookup_global(f->owner, name); }

}  // namespace valkin
