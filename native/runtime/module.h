// Multi-phase module definition.
//
// A module's state is a struct of `Ref`s (zeroed memory is a valid empty
// state) with a member template `each(f)` that hands every reference to `f`;
// the garbage collector's traverse and clear are derived from it.
//
//     struct State {
//         Ref os;
//         template <class F> void each(F&& f) { f(os); }
//     };
//     static int exec(PyObject* module) { ... }
//     VALKIN_MODULE(fsops, State, exec)
#pragma once

#include "ref.h"

namespace valkin {

template <class State>
struct ModuleState {
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        auto* s = static_cast<State*>(PyModule_GetState(module));
        int rc = 0;
        if (s) {
            s->each([&](Ref& r) {
                if (rc == 0 && r) rc = visit(r.get(), arg);
            });
        }
        return rc;
    }
    static int clear(PyObject* module) {
        auto* s = static_cast<State*>(PyModule_GetState(module));
        if (s) s->each([](Ref& r) { r.reset(); });
        return 0;
    }
    static void free(void* module) { clear(static_cast<PyObject*>(module)); }
};

struct NoState {
    template <class F>
    void each(F&&) {}
};

}  // namespace valkin

#define VALKIN_MODULE(NAME, STATE, EXEC)                                                              \
    static PyModuleDef_Slot NAME##_slots[] = {                                                      \
        {Py_mod_exec, reinterpret_cast<void*>(EXEC)},                                               \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                 \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                              \
        {0, nullptr},                                                                               \
    };                                                                                              \
    static PyModuleDef NAME##_def = {                                                               \
        PyModuleDef_HEAD_INIT, #NAME, nullptr, sizeof(STATE), nullptr, NAME##_slots,                \
        ::valkin::ModuleState<STATE>::traverse, ::valkin::ModuleState<STATE>::clear,                \
        ::valkin::ModuleState<STATE>::free,                                                         \
    };                                                                                              \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
