// PathBase: file lists (bottom-up, as os.walk reports them) and directory
// trees (depth-first over an explicit stack).
#include "bases/fsops.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace valkin::fsops {
namespace {

// ---- shared pieces ---------------------------------------------------------

// The file-system encoding of an exact str, as os functions pass it to the
// system; false (no error set) when the path cannot reach the system as is
// (not encodable, or an embedded NUL): the Python functions then raise their
// own errors, so the caller takes the Python route.
bool encode_path(PyObject* path, std::string* out) {
    if (!PyUnicode_CheckExact(path)) return false;
    Ref encoded = steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    const char* text = PyBytes_AS_STRING(encoded.get());
    Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    if (std::strlen(text) != static_cast<size_t>(size)) return false;
    out->assign(text, static_cast<size_t>(size));
    return true;
}

std::string join_bytes(const std::string& dir, const char* name) {
    std::string full;
    full.reserve(dir.size() + std::strlen(name) + 1);
    full = dir;
    if (!full.empty() && full.back() != '/') full += '/';
    full += name;
    return full;
}

Ref decode_name(const std::string& name) {
    return steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// `first, second[, third] = item`, with the interpreter's messages.
bool unpack(PyObject* item, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == n) {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = borrow(PyTuple_GET_ITEM(item, i));
        return true;
    }
    Ref it = steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            }
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

// `<name>.<attr>` with the module global looked up now.
Ref global_attr(PyObject* module, PyObject* name, PyObject* attr) {
    Ref found = lookup_global(module, name);
    if (!found) return {};
    return getattr(found.get(), attr);
}

// `os.path.<attr>` looked up now.
Ref path_attr(PyObject* module, State* st, PyObject* attr) {
    Ref path = os_path(module, st);
    if (!path) return {};
    return getattr(path.get(), attr);
}

// ---- _path_file_list -------------------------------------------------------

struct WalkEntry {
    std::string name;
    bool is_dir;
    bool walk_into;
};

// One directory as os.walk's scandir loop sees it, read without the GIL:
// is_dir follows links (a failing stat counts as no directory), links to
// directories are not walked into. False when the directory cannot be
// opened or read to the end: os.walk then skips it entirely.
bool scan_for_walk(const std::string& top, std::vector<WalkEntry>* out, bool* no_memory) noexcept {
    DIR* dir = ::opendir(top.c_str());
    if (!dir) return false;
    bool ok = true;
    try {
        for (;;) {
            errno = 0;
            struct dirent* d = ::readdir(dir);
            if (!d) {
                ok = errno == 0;
                break;
            }
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            WalkEntry entry{name, false, false};
            unsigned char type = d->d_type;
            if (type == DT_DIR) {
                entry.is_dir = true;
            } else if (type == DT_LNK || type == DT_UNKNOWN) {
                std::string full = join_bytes(top, name);
                struct stat sb;
                entry.is_dir = ::stat(full.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
                if (entry.is_dir) {
                    bool is_link = type == DT_LNK || (::lstat(full.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode));
                    entry.walk_into = !is_link;
                }
            }
            if (type == DT_DIR) entry.walk_into = true;
            out->push_back(std::move(entry));
        }
    } catch (...) {
        *no_memory = true;
        ok = false;
    }
    ::closedir(dir);
    return ok;
}

struct WalkItem {
    Ref top;            // str path, as os.walk reports it
    std::string bytes;  // the same path for the system
    bool emit;          // the (top, dirs, nondirs) triple of a scanned directory
    Ref nondirs;        // list of names, when emit
};

// Returns 1 when the audit hook let the scan go ahead, 0 when it refused
// with an OSError (os.walk skips the directory), -1 on any other error.
int audit_scandir(PyObject* top) {
    if (PySys_Audit("os.scandir", "O", top) == 0) return 1;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    PyErr_Clear();
    return 0;
}

// os.walk(top, topdown=False) over a str path, natively, appending
// os.path.join(root, name) for every non-directory entry.
bool walk_native(PyObject* top, std::string top_bytes, PyObject* result) {
    if (PySys_Audit("os.walk", "OOOO", top, Py_False, Py_None, Py_False) < 0) return false;
    std::vector<WalkItem> stack;
    stack.push_back({borrow(top), std::move(top_bytes), false, Ref()});
    std::vector<WalkEntry> entries;
    while (!stack.empty()) {
        WalkItem item = std::move(stack.back());
        stack.pop_back();
        if (item.emit) {
            PyObject* names = item.nondirs.get();
            for (Py_ssize_t i = 0, n = PyList_GET_SIZE(names); i < n; ++i) {
                Ref path = join_str(item.top.get(), PyList_GET_ITEM(names, i));
                if (!path || PyList_Append(result, path.get()) < 0) return false;
            }
            continue;
        }
        int audited = audit_scandir(item.top.get());
        if (audited < 0) return false;
        if (audited == 0) continue;
        entries.clear();
        bool no_memory = false;
        bool complete;
        Py_BEGIN_ALLOW_THREADS
        complete = scan_for_walk(item.bytes, &entries, &no_memory);
        Py_END_ALLOW_THREADS
        if (no_memory) {
            PyErr_NoMemory();
            return false;
        }
        if (!complete) continue;
        Ref nondirs = steal(PyList_New(0));
        if (!nondirs) return false;
        std::vector<WalkItem> into;
        for (const WalkEntry& entry : entries) {
            if (!entry.is_dir) {
                Ref name = decode_name(entry.name);
                if (!name || PyList_Append(nondirs.get(), name.get()) < 0) return false;
            } else if (entry.walk_into) {
                Ref name = decode_name(entry.name);
                if (!name) return false;
                Ref path = join_str(item.top.get(), name.get());
                if (!path) return false;
                into.push_back({std::move(path), join_bytes(item.bytes, entry.name.c_str()), false, Ref()});
            }
        }
        stack.push_back({std::move(item.top), std::string(), true, std::move(nondirs)});
        for (auto it = into.rbegin(); it != into.rend(); ++it) stack.push_back(std::move(*it));
    }
    return true;
}

// for root, dirs, files in os.walk(obj, topdown=False):
//     for file in files: result.append(os.path.join(root, file))
bool walk_python(Function* self, State* st, PyObject* walk, PyObject* obj, PyObject* result) {
    PyObject* args[] = {nullptr, obj, Py_False};
    Ref walker = steal(PyObject_Vectorcall(walk, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_topdown.get()));
    if (!walker) return false;
    Ref it = steal(PyObject_GetIter(walker.get()));
    if (!it) return false;
    for (;;) {
        Ref triple = steal(PyIter_Next(it.get()));
        if (!triple) return !PyErr_Occurred();
        Ref parts[3];
        if (!unpack(triple.get(), 3, parts)) return false;
        Ref files = steal(PyObject_GetIter(parts[2].get()));
        if (!files) return false;
        for (;;) {
            Ref file = steal(PyIter_Next(files.get()));
            if (!file) {
                if (PyErr_Occurred()) return false;
                break;
            }
            Ref join = path_attr(self->owner, st, st->n_join.get());
            if (!join) return false;
            Ref path = call(join.get(), parts[0].get(), file.get());
            if (!path || PyList_Append(result, path.get()) < 0) return false;
        }
    }
}

Ref file_list(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* obj = a[1];
    Ref result = steal(PyList_New(0));
    if (!result) return {};
    Ref is_dir = call_method(cls, st->n_path_dir.get(), obj);
    if (!is_dir) return {};
    int dir = PyObject_IsTrue(is_dir.get());
    if (dir < 0) return {};
    if (!dir) return result;

    Ref os = lookup_global(self->owner, st->n_os.get());
    if (!os) return {};
    PyObject* m = os.get();
    int native = holds(m, st->os.get(), st->n_walk.get(), st->walk.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_scandir.get(), st->scandir.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_fspath.get(), st->fspath.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_path.get(), st->posixpath.get());
    if (native > 0) native = holds(st->posixpath.get(), st->posixpath.get(), st->n_join.get(), st->join.get());
    if (native < 0) return {};
    std::string top_bytes;
    if (native && encode_path(obj, &top_bytes)) {
        if (!walk_native(obj, std::move(top_bytes), result.get())) return {};
        return result;
    }
    Ref walk = getattr(m, st->n_walk.get());
    if (!walk) return {};
    if (!walk_python(self, st, walk.get(), obj, result.get())) return {};
    return result;
}

// ---- _path_file_dict -------------------------------------------------------

// A visited directory in the chain of ancestors of the walk.
struct Node {
    unsigned long long dev, ino;
    bool known;  // identity known (its stat succeeded)
    size_t parent;
};
constexpr size_t kNoParent = static_cast<size_t>(-1);

bool is_ancestor(const std::vector<Node>& nodes, size_t from, unsigned long long dev, unsigned long long ino) {
    for (size_t i = from; i != kNoParent; i = nodes[i].parent) {
        if (nodes[i].known && nodes[i].dev == dev && nodes[i].ino == ino) return true;
    }
    return false;
}

struct DictEntry {
    std::string name;
    StatResult kind;
    bool maybe_link;  // the entry is, or may be, a symbolic link
    unsigned long long dev, ino;
};

// os.listdir(path) natively, then the stat that os.path.isfile/isdir make on
// every os.path.join(path, name), all without the GIL. Returns the errno of a
// failed listing (0 on success).
//
// While no symbolic link lies on `path` (`linked` false), the stat of
// path/name resolves only `name` from the directory just listed: the same
// lookup the full path makes, without walking the prefix again. Below a link
// the full path is stated, so the interpreter's limit on links followed in
// one lookup applies exactly as it does to the full path.
int list_and_stat(const std::string& path, bool linked, std::vector<DictEntry>* out, bool* no_memory) noexcept {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return errno;
    int error = 0;
    try {
        for (;;) {
            errno = 0;
            struct dirent* d = ::readdir(dir);
            if (!d) {
                error = errno;
                break;
            }
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            bool maybe_link = d->d_type == DT_LNK || d->d_type == DT_UNKNOWN;
            out->push_back({name, StatResult::Missing, maybe_link, 0, 0});
        }
        if (!error) {
            int fd = ::dirfd(dir);
            size_t prefix = path.size() + ((path.empty() || path.back() == '/') ? 0 : 1);
            std::string full;
            for (DictEntry& entry : *out) {
                // A path the system refuses as too long is no file and no directory.
                if (prefix + entry.name.size() >= PATH_MAX) continue;
                struct stat sb;
                int rc;
                if (!linked && fd >= 0) {
                    rc = ::fstatat(fd, entry.name.c_str(), &sb, 0);
                } else {
                    full = join_bytes(path, entry.name.c_str());
                    rc = ::stat(full.c_str(), &sb);
                }
                if (rc != 0) continue;  // vanished or unreachable: neither
                entry.dev = static_cast<unsigned long long>(sb.st_dev);
                entry.ino = static_cast<unsigned long long>(sb.st_ino);
                entry.kind = S_ISREG(sb.st_mode) ? StatResult::File
                             : S_ISDIR(sb.st_mode) ? StatResult::Dir
                                                   : StatResult::Special;
            }
        }
    } catch (...) {
        *no_memory = true;
    }
    ::closedir(dir);
    return error;
}

// Whether a symbolic link lies on `path`: its own components, lstat-ed one
// prefix after another (a component that cannot be examined counts as one).
bool link_on_path(const std::string& path) noexcept {
    try {
        std::string prefix;
        prefix.reserve(path.size());
        for (size_t i = 0; i <= path.size(); ++i) {
            if (i == path.size() || (path[i] == '/' && i > 0)) {
                if (!prefix.empty() && prefix.back() != '/') {
                    struct stat sb;
                    if (::lstat(prefix.c_str(), &sb) != 0 || S_ISLNK(sb.st_mode)) return true;
                }
            }
            if (i < path.size()) prefix += path[i];
        }
        return false;
    } catch (...) {
        return true;
    }
}

// The walk's stack: a native one while `deque` is the collections.deque
// found at import, else the object `deque(...)` made, driven through its
// `pop` and `append` and truth value as the loop would.
class Stack {
public:
    struct Item {
        Ref path, key;
        std::string bytes;  // path for the system, native route only
        size_t node;
        bool linked = true;  // a symbolic link may lie on the path (native route)
    };

    bool start(State* st, PyObject* deque_fn, Item first) {
        st_ = st;
        if (deque_fn == st->deque.get()) {
            items_.push_back(std::move(first));
            return true;
        }
        Ref pair = steal(PyTuple_Pack(2, first.path.get(), first.key.get()));
        if (!pair) return false;
        Ref seed = steal(PyList_New(1));
        if (!seed) return false;
        PyList_SET_ITEM(seed.get(), 0, Py_NewRef(pair.get()));
        object_ = call(deque_fn, seed.get());
        if (!object_) return false;
        nodes_.emplace(pair.get(), std::make_pair(pair, first.node));
        return true;
    }

    // 1 while items remain, 0 when empty, -1 on error.
    int more() {
        if (!object_) return items_.empty() ? 0 : 1;
        return PyObject_IsTrue(object_.get());
    }

    bool pop(Item* out) {
        if (!object_) {
            *out = std::move(items_.back());
            items_.pop_back();
            return true;
        }
        Ref popped = call_method(object_.get(), st_->n_pop.get());
        if (!popped) return false;
        Ref parts[2];
        if (!unpack(popped.get(), 2, parts)) return false;
        out->path = std::move(parts[0]);
        out->key = std::move(parts[1]);
        out->bytes.clear();
        out->node = kNoParent;
        out->linked = true;
        auto found = nodes_.find(popped.get());
        if (found != nodes_.end()) {
            out->node = found->second.second;
            nodes_.erase(found);
        }
        return true;
    }

    bool push(Item item) {
        if (!object_) {
            items_.push_back(std::move(item));
            return true;
        }
        Ref pair = steal(PyTuple_Pack(2, item.path.get(), item.key.get()));
        if (!pair) return false;
        if (!call_method(object_.get(), st_->n_append.get(), pair.get())) return false;
        nodes_.emplace(pair.get(), std::make_pair(pair, item.node));
        return true;
    }

private:
    State* st_ = nullptr;
    std::vector<Item> items_;
    Ref object_;
    // The pairs handed to the deque object, kept alive, with their node.
    std::unordered_map<PyObject*, std::pair<Ref, size_t>> nodes_;
};

// `os.stat(path)` through the module global, for the identity of a directory
// on the Python route. False (no error) when it cannot be had: a stand-in
// without `stat`, a failing one, or one that gives inode 0.
bool identity_python(Function* self, State* st, PyObject* path, unsigned long long* dev, unsigned long long* ino) {
    Ref stat = global_attr(self->owner, st->n_os.get(), st->n_stat.get());
    Ref result = stat ? call(stat.get(), path) : Ref();
    Ref d = result ? getattr(result.get(), "st_dev") : Ref();
    Ref i = d ? getattr(result.get(), "st_ino") : Ref();
    if (i && PyLong_Check(d.get()) && PyLong_Check(i.get())) {
        *dev = PyLong_AsUnsignedLongLong(d.get());
        *ino = PyLong_AsUnsignedLongLong(i.get());
        if (!PyErr_Occurred()) return *ino != 0;  // inode 0 names no file: no identity
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    return false;
}

// `set(value or [])` with the builtin `set` looked up now.
Ref name_set(PyObject* module, State* st, PyObject* value) {
    Ref set_fn = lookup_global(module, st->n_set.get());
    if (!set_fn) return {};
    int truthy = PyObject_IsTrue(value);
    if (truthy < 0) return {};
    Ref source = truthy ? borrow(value) : steal(PyList_New(0));
    if (!source) return {};
    if (set_fn.get() == reinterpret_cast<PyObject*>(&PySet_Type)) return steal(PySet_New(source.get()));
    return call(set_fn.get(), source.get());
}

Ref file_dict(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* module = self->owner;
    Ref result = steal(PyDict_New());
    if (!result) return {};

    Ref abspath = path_attr(module, st, st->n_abspath.get());
    if (!abspath) return {};
    Ref top = call(abspath.get(), a[1]);
    if (!top) return {};
    Ref deque_fn = lookup_global(module, st->n_deque.get());
    if (!deque_fn) return {};
    Ref basename = path_attr(module, st, st->n_basename.get());
    if (!basename) return {};
    Ref top_key = call(basename.get(), top.get());
    if (!top_key) return {};

    // The system calls stand in for os.listdir, os.path.join, isfile and
    // isdir (and the os.stat those two make) while all are the originals.
    Ref os = lookup_global(module, st->n_os.get());
    if (!os) return {};
    PyObject* m = os.get();
    int native = holds(m, st->os.get(), st->n_listdir.get(), st->listdir.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_stat.get(), st->stat.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_fspath.get(), st->fspath.get());
    if (native > 0) native = holds(m, st->os.get(), st->n_path.get(), st->posixpath.get());
    PyObject* posixpath = st->posixpath.get();
    if (native > 0) native = holds(posixpath, posixpath, st->n_join.get(), st->join.get());
    if (native > 0) native = holds(posixpath, posixpath, st->n_isfile.get(), st->isfile.get());
    if (native > 0) native = holds(posixpath, posixpath, st->n_isdir.get(), st->isdir.get());
    if (native < 0) return {};
    if (deque_fn.get() != st->deque.get()) native = 0;
    std::string top_bytes;
    if (native && !(PyUnicode_CheckExact(top_key.get()) && encode_path(top.get(), &top_bytes))) native = 0;

    // Identity of the starting directory, the root of the ancestor chains.
    std::vector<Node> nodes;
    {
        unsigned long long dev = 0, ino = 0;
        bool known;
        if (native) {
            struct stat sb;
            int rc;
            Py_BEGIN_ALLOW_THREADS
            rc = ::stat(top_bytes.c_str(), &sb);
            Py_END_ALLOW_THREADS
            known = rc == 0;
            if (known) dev = static_cast<unsigned long long>(sb.st_dev), ino = static_cast<unsigned long long>(sb.st_ino);
        } else {
            known = identity_python(self, st, top.get(), &dev, &ino);
            if (PyErr_Occurred()) return {};
        }
        nodes.push_back({dev, ino, known, kNoParent});
    }

    bool top_linked = true;
    if (native) {
        Py_BEGIN_ALLOW_THREADS
        top_linked = link_on_path(top_bytes);
        Py_END_ALLOW_THREADS
    }
    Stack stack;
    if (!stack.start(st, deque_fn.get(), {top, top_key, std::move(top_bytes), 0, top_linked})) return {};
    Ref skip_dir = name_set(module, st, a[2]);
    if (!skip_dir) return {};
    Ref skip_file = name_set(module, st, a[3]);
    if (!skip_file) return {};

    std::vector<DictEntry> entries;
    for (;;) {
        int more = stack.more();
        if (more < 0) return {};
        if (!more) break;
        Stack::Item current;
        if (!stack.pop(&current)) return {};
        Ref files = steal(PyList_New(0));
        if (!files) return {};
        PyObject* here = current.path.get();
        PyObject* prefix = current.key.get();

        if (native) {
            if (PySys_Audit("os.listdir", "O", here) < 0) return {};
            entries.clear();
            bool no_memory = false;
            int error;
            Py_BEGIN_ALLOW_THREADS
            error = list_and_stat(current.bytes, current.linked, &entries, &no_memory);
            Py_END_ALLOW_THREADS
            if (no_memory) return steal(PyErr_NoMemory());
            if (error) {
                errno = error;
                return steal(PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, here));
            }
            for (const DictEntry& entry : entries) {
                if (entry.kind != StatResult::File && entry.kind != StatResult::Dir) continue;
                Ref name = decode_name(entry.name);
                if (!name) return {};
                bool is_file = entry.kind == StatResult::File;
                PyObject* skip = is_file ? skip_file.get() : skip_dir.get();
                int skipped = PySequence_Contains(skip, name.get());
                if (skipped < 0) return {};
                if (skipped) continue;
                if (is_file) {
                    if (PyList_Append(files.get(), name.get()) < 0) return {};
                    continue;
                }
                if (is_ancestor(nodes, current.node, entry.dev, entry.ino)) continue;  // a way back up
                Ref full = join_str(here, name.get());
                if (!full) return {};
                Ref key = join_str(prefix, name.get());
                if (!key) return {};
                nodes.push_back({entry.dev, entry.ino, true, current.node});
                if (!stack.push({std::move(full), std::move(key), join_bytes(current.bytes, entry.name.c_str()),
                                 nodes.size() - 1, current.linked || entry.maybe_link})) {
                    return {};
                }
            }
        } else {
            Ref listdir = global_attr(module, st->n_os.get(), st->n_listdir.get());
            if (!listdir) return {};
            Ref names = call(listdir.get(), here);
            if (!names) return {};
            Ref it = steal(PyObject_GetIter(names.get()));
            if (!it) return {};
            for (;;) {
                Ref name = steal(PyIter_Next(it.get()));
                if (!name) {
                    if (PyErr_Occurred()) return {};
                    break;
                }
                Ref join = path_attr(module, st, st->n_join.get());
                if (!join) return {};
                Ref full = call(join.get(), here, name.get());
                if (!full) return {};
                Ref isfile = path_attr(module, st, st->n_isfile.get());
                if (!isfile) return {};
                Ref file_answer = call(isfile.get(), full.get());
                if (!file_answer) return {};
                int is_file = PyObject_IsTrue(file_answer.get());
                if (is_file < 0) return {};
                int is_dir = 0;
                if (!is_file) {
                    Ref isdir = path_attr(module, st, st->n_isdir.get());
                    if (!isdir) return {};
                    Ref dir_answer = call(isdir.get(), full.get());
                    if (!dir_answer) return {};
                    is_dir = PyObject_IsTrue(dir_answer.get());
                    if (is_dir < 0) return {};
                }
                int listed = PySequence_Contains(skip_file.get(), name.get());
                if (listed < 0) return {};
                if (listed && is_file) continue;
                listed = PySequence_Contains(skip_dir.get(), name.get());
                if (listed < 0) return {};
                if (listed && is_dir) continue;
                if (is_file) {
                    if (PyList_Append(files.get(), name.get()) < 0) return {};
                    continue;
                }
                if (!is_dir) continue;
                unsigned long long dev = 0, ino = 0;
                bool known = identity_python(self, st, full.get(), &dev, &ino);
                if (PyErr_Occurred()) return {};
                if (known && is_ancestor(nodes, current.node, dev, ino)) continue;
                Ref join_key = path_attr(module, st, st->n_join.get());
                if (!join_key) return {};
                Ref key = call(join_key.get(), prefix, name.get());
                if (!key) return {};
                nodes.push_back({dev, ino, known, current.node});
                if (!stack.push({std::move(full), std::move(key), std::string(), nodes.size() - 1, true})) return {};
            }
        }
        if (PyObject_SetItem(result.get(), prefix, files.get()) < 0) return {};
    }
    return result;
}

}  // namespace

Ref path_file_list(Function* self, PyObject* const* a) {
    try {
        return file_list(self, a);
    } catch (...) {
        return steal(PyErr_NoMemory());
    }
}

Ref path_file_dict(Function* self, PyObject* const* a) {
    try {
        return file_dict(self, a);
    } catch (...) {
        return steal(PyErr_NoMemory());
    }
}

}  // namespace valkin::fsops
