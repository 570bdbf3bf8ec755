// PathBase: shared declarations of the fsops translation units.
//
// fsops.cpp        module set-up, the path tests, copy, move and delete
// fsops_io.cpp     reading and writing files, the lazy line reader
// fsops_tree.cpp   file lists and directory trees
//
// Every operation looks `os`, `shutil`, `deque` and the builtins it uses up
// in the module namespace at each call. A native fast path is taken only
// while everything the Python version would reach (the module global, the
// attribute on `os`/`os.path`, and what that function itself calls, such as
// `os.stat`) is still the object captured at import; otherwise the object
// found is called.
#pragma once

#include "runtime/checks.h"
#include "runtime/function.h"
#include "runtime/imports.h"
#include "runtime/ref.h"

namespace valkin::fsops {

struct State {
    // Module-level names and attribute names, interned.
    Ref n_os, n_shutil, n_deque, n_open, n_set;
    Ref n_path, n_exists, n_isfile, n_isdir, n_normpath, n_abspath, n_basename, n_join;
    Ref n_stat, n_fspath, n_listdir, n_walk, n_scandir, n_remove;
    Ref n_rmtree, n_copy, n_copytree, n_move;
    Ref n_path_exists, n_path_file, n_path_dir;  // the sibling operations
    Ref n_read, n_readline, n_readlines, n_write, n_writelines, n_rstrip;
    Ref n_enter, n_exit, n_pop, n_append;
    Ref kw_encoding;          // ("encoding",)
    Ref kw_encoding_closefd;  // ("encoding", "closefd")
    Ref kw_topdown;           // ("topdown",)
    Ref gen_name, gen_qualname;

    // What the module found at import: `os`, `os.path`, `shutil`, `deque`,
    // the builtin `open`, and the functions the fast paths stand in for.
    Ref os, posixpath, shutil, deque, open;
    Ref exists, isfile, isdir, normpath, stat, fspath, listdir, walk, scandir, join;

    Ref line_reader_type;  // the generator type of _path_readline

    template <class F>
    void each(F&& f) {
        f(n_os), f(n_shutil), f(n_deque), f(n_open), f(n_set);
        f(n_path), f(n_exists), f(n_isfile), f(n_isdir), f(n_normpath), f(n_abspath), f(n_basename), f(n_join);
        f(n_stat), f(n_fspath), f(n_listdir), f(n_walk), f(n_scandir), f(n_remove);
        f(n_rmtree), f(n_copy), f(n_copytree), f(n_move);
        f(n_path_exists), f(n_path_file), f(n_path_dir);
        f(n_read), f(n_readline), f(n_readlines), f(n_write), f(n_writelines), f(n_rstrip);
        f(n_enter), f(n_exit), f(n_pop), f(n_append);
        f(kw_encoding), f(kw_encoding_closefd), f(kw_topdown), f(gen_name), f(gen_qualname);
        f(os), f(posixpath), f(shutil), f(deque), f(open);
        f(exists), f(isfile), f(isdir), f(normpath), f(stat), f(fspath), f(listdir), f(walk), f(scandir), f(join);
        f(line_reader_type);
    }
};

inline State* state(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }
inline State* state(Function* f) { return state(f->owner); }

// ---- names -----------------------------------------------------------------

// True when `module` (as found) is `expected` and the attribute `name` in its
// namespace is still `original`. -1 with an error set on a failed lookup.
int holds(PyObject* module, PyObject* expected, PyObject* name, PyObject* original);

// `os.path` as the module namespace reaches it now (`os` looked up, then its
// attribute), with `os` itself in `os_out` when given.
Ref os_path(PyObject* module, State* st, Ref* os_out = nullptr);

// ---- native stand-ins ------------------------------------------------------

enum class StatResult { Error, Missing, File, Dir, Special };

// `os.stat(path)` for an exact str or bytes path as `os.path.exists`/`isfile`/
// `isdir` see it: Missing for any OSError or ValueError, Error (with the
// Python error set) only when encoding the path fails otherwise (MemoryError).
StatResult stat_kind(PyObject* path, unsigned long long* dev = nullptr, unsigned long long* ino = nullptr);

// os.path.join(a, b) for two str (b never empty).
Ref join_str(PyObject* a, PyObject* b);

// ---- context managers ------------------------------------------------------

// The entered context of a `with` statement.
struct Entered {
    Ref value;  // what __enter__ returned
    Ref exit;   // bound __exit__
};

// Looks `__enter__` and `__exit__` up on the type of `manager` as the `with`
// statement does and calls `__enter__`.
bool enter(State* st, PyObject* manager, Entered* out);

// Leaves the context without an exception: `__exit__(None, None, None)`.
bool leave(Entered& ctx);

// Leaves the context with the pending exception. Returns 1 when `__exit__`
// suppressed it (no error set), 0 when the exception (or one raised by
// `__exit__`) is set again.
int leave_raising(Entered& ctx);

// `with manager as value: return body(value)`. A suppressed exception makes
// the block fall through, which gives None.
template <class Body>
Ref with_block(State* st, PyObject* manager, Body&& body) {
    Entered ctx;
    if (!enter(st, manager, &ctx)) return {};
    Ref result = body(ctx.value.get());
    if (result) {
        if (!leave(ctx)) return {};
        return result;
    }
    int suppressed = leave_raising(ctx);
    return suppressed == 1 ? none() : Ref();
}

// ---- operations (bodies of the bound functions) ----------------------------

Ref path_read(Function* self, PyObject* const* a);
Ref path_readline(Function* self, PyObject* const* a);
Ref path_readlines(Function* self, PyObject* const* a);
Ref path_write(Function* self, PyObject* const* a);
Ref path_writelines(Function* self, PyObject* const* a);
Ref path_file_list(Function* self, PyObject* const* a);
Ref path_file_dict(Function* self, PyObject* const* a);

// Creates the generator type of _path_readline for `module`.
Ref make_line_reader_type(PyObject* module);

}  // namespace valkin::fsops
