// PathBase: path tests, copy, move and delete; the module itself.
//
// Namespace, in order: os, shutil, deque, _valkin_except, PathBase.
#include "bases/fsops.h"

#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

#include <sys/stat.h>

#include <cstring>

namespace valkin::fsops {

// ---- names -----------------------------------------------------------------

int holds(PyObject* module, PyObject* expected, PyObject* name, PyObject* original) {
    if (module != expected || !PyModule_Check(module)) return 0;
    PyObject* ns = PyModule_GetDict(module);
    if (!ns) return -1;
    PyObject* found = PyDict_GetItemWithError(ns, name);  // borrowed, compared only
    if (!found) return PyErr_Occurred() ? -1 : 0;
    return found == original;
}

Ref os_path(PyObject* module, State* st, Ref* os_out) {
    Ref os = lookup_global(module, st->n_os.get());
    if (!os) return {};
    Ref path = getattr(os.get(), st->n_path.get());
    if (os_out) *os_out = std::move(os);
    return path;
}

// ---- native stand-ins ------------------------------------------------------

StatResult stat_kind(PyObject* path, unsigned long long* dev, unsigned long long* ino) {
    Ref encoded;
    const char* text;
    Py_ssize_t size;
    if (PyUnicode_CheckExact(path)) {
        if (PyUnicode_IS_ASCII(path)) {
            text = static_cast<const char*>(PyUnicode_DATA(path));
            size = PyUnicode_GET_LENGTH(path);
        } else {
            encoded = steal(PyUnicode_EncodeFSDefault(path));
            if (!encoded) {
                // os.stat raises UnicodeEncodeError, a ValueError: the tests say False.
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) return StatResult::Error;
                PyErr_Clear();
                return StatResult::Missing;
            }
            text = PyBytes_AS_STRING(encoded.get());
            size = PyBytes_GET_SIZE(encoded.get());
        }
    } else {
        text = PyBytes_AS_STRING(path);
        size = PyBytes_GET_SIZE(path);
    }
    if (std::strlen(text) != static_cast<size_t>(size)) return StatResult::Missing;  // embedded NUL: ValueError
    struct stat sb;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = ::stat(text, &sb);
    Py_END_ALLOW_THREADS
    if (rc != 0) return StatResult::Missing;
    if (dev) *dev = static_cast<unsigned long long>(sb.st_dev);
    if (ino) *ino = static_cast<unsigned long long>(sb.st_ino);
    if (S_ISREG(sb.st_mode)) return StatResult::File;
    if (S_ISDIR(sb.st_mode)) return StatResult::Dir;
    return StatResult::Special;
}

Ref join_str(PyObject* a, PyObject* b) {
    Py_ssize_t na = PyUnicode_GET_LENGTH(a);
    Py_ssize_t nb = PyUnicode_GET_LENGTH(b);
    if (nb > 0 && PyUnicode_READ_CHAR(b, 0) == '/') return borrow(b);
    if (na == 0) return borrow(b);
    bool sep = PyUnicode_READ_CHAR(a, na - 1) != '/';
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(a);
    Py_UCS4 maxb = PyUnicode_MAX_CHAR_VALUE(b);
    if (maxb > maxchar) maxchar = maxb;
    Ref out = steal(PyUnicode_New(na + nb + (sep ? 1 : 0), maxchar));
    if (!out) return {};
    if (PyUnicode_CopyCharacters(out.get(), 0, a, 0, na) < 0) return {};
    if (sep && PyUnicode_WriteChar(out.get(), na, '/') < 0) return {};
    if (PyUnicode_CopyCharacters(out.get(), na + (sep ? 1 : 0), b, 0, nb) < 0) return {};
    return out;
}

// ---- context managers ------------------------------------------------------

namespace {

// `type(obj).__dict__` lookup along the MRO, bound to `obj`, as the `with`
// statement finds its special methods. Empty without an error when missing.
Ref lookup_special(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return {};
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        Ref ns = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!ns) {
            if (PyErr_Occurred()) return {};
            continue;
        }
        PyObject* found = nullptr;
        int rc = PyDict_GetItemRef(ns.get(), name, &found);
        if (rc < 0) return {};
        if (rc == 0) continue;
        Ref attr = steal(found);
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get) return attr;
        return steal(get(found, obj, reinterpret_cast<PyObject*>(tp)));
    }
    return {};
}

}  // namespace

bool enter(State* st, PyObject* manager, Entered* out) {
    Ref enter_method = lookup_special(manager, st->n_enter.get());
    if (!enter_method) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        }
        return false;
    }
    out->exit = lookup_special(manager, st->n_exit.get());
    if (!out->exit) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        }
        return false;
    }
    out->value = steal(PyObject_CallNoArgs(enter_method.get()));
    return static_cast<bool>(out->value);
}

bool leave(Entered& ctx) {
    Ref exit = std::move(ctx.exit);
    ctx.value.reset();
    return static_cast<bool>(call(exit.get(), Py_None, Py_None, Py_None));
}

int leave_raising(Entered& ctx) {
    Ref exit = std::move(ctx.exit);
    ctx.value.reset();
    Ref err = steal(PyErr_GetRaisedException());
    if (!err) return 0;
    if (!exit) {
        PyErr_SetRaisedException(err.release());
        return 0;
    }
    Ref tb = steal(PyException_GetTraceback(err.get()));
    {
        Handling handling(err.get());
        Ref answer = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(err.get())), err.get(),
                          tb ? tb.get() : Py_None);
        if (!answer) return 0;
        int suppress = PyObject_IsTrue(answer.get());
        if (suppress < 0) return 0;
        if (suppress) return 1;
    }
    PyErr_SetRaisedException(err.release());
    return 0;
}

namespace {

// ---- docstrings ------------------------------------------------------------

constexpr const char* kClassDoc = "\n    路径操作工具类，提供了一系列用于处理文件和目录的静态方法。\n    ";

constexpr const char* kNormalText = "期望规范化 obj 路径";
constexpr const char* kNormalDoc =
    "PathBase._path_normal(cls, obj, except_result='valkin_except_result')\n"
    "规范化给定路径字符串，并处理可能的异常情况。\n"
    "\n"
    ":param obj: str, 需要规范化的路径字符串。\n"
    ":param except_result: 可选参数，指定在发生异常时返回的结果。默认为 None。\n"
    ":return: 规范化后的路径字符串。如果发生异常，则返回 `except_result` 指定的值。";

constexpr const char* kExistsText = "期望获取 obj 路径是否存在";
constexpr const char* kExistsDoc =
    "PathBase._path_exists(cls, obj, except_result=False)\n"
    "检查路径是否存在。\n"
    "\n"
    ":param obj: 要检查的路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果路径存在返回 True，否则返回 False。";

constexpr const char* kFileText = "期望获取 obj 路径是否为文件";
constexpr const char* kFileDoc =
    "PathBase._path_file(cls, obj, except_result=False)\n"
    "检查路径是否为文件。\n"
    "\n"
    ":param obj: 要检查的路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果路径是文件返回 True，否则返回 False。";

constexpr const char* kDirText = "期望获取 obj 路径是否为目录";
constexpr const char* kDirDoc =
    "PathBase._path_dir(cls, obj, except_result=False)\n"
    "检查路径是否为目录。\n"
    "\n"
    ":param obj: 要检查的路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果路径是目录返回 True，否则返回 False。";

constexpr const char* kDeleteText = "期望删除 obj 路径的文件或目录";
constexpr const char* kDeleteDoc =
    "PathBase._path_delete(cls, obj, except_result='valkin_except_result')\n"
    "删除指定路径的文件或目录。\n"
    "\n"
    ":param obj: 要删除的路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果删除成功返回 True，否则返回 False。";

constexpr const char* kCopyText = "期望复制 src_obj 文件或目录到 tar_obj 目标路径";
constexpr const char* kCopyDoc =
    "PathBase._path_copy(cls, src_obj, tar_obj, except_result='valkin_except_result')\n"
    "复制文件或目录到目标路径。\n"
    "\n"
    ":param src_obj: 源路径。\n"
    ":param tar_obj: 目标路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果复制成功返回 True，否则返回 False。";

constexpr const char* kMoveText = "期望移动 src_obj 文件或目录到 tar_obj 目标路径";
constexpr const char* kMoveDoc =
    "PathBase._path_move(cls, src_obj, tar_obj, except_result='valkin_except_result')\n"
    "移动文件或目录到目标路径。\n"
    "\n"
    ":param src_obj: 源路径。\n"
    ":param tar_obj: 目标路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 如果移动成功返回 True，否则返回 False。";

constexpr const char* kReadText = "期望获取 obj 文件内容";
constexpr const char* kReadDoc =
    "PathBase._path_read(cls, obj, mode='r', encoding=None, except_result='valkin_except_result')\n"
    "读取文件内容。\n"
    "\n"
    ":param obj: 文件路径。\n"
    ":param mode: 文件打开模式，默认为 'r'。\n"
    ":param encoding: 文件编码，默认为 None。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 文件内容。";

constexpr const char* kReadlineText = "期望逐行读取 obj 文件内容";
constexpr const char* kReadlineDoc =
    "PathBase._path_readline(cls, obj, mode='r', encoding=None, except_result='valkin_except_result')\n"
    "逐行读取文件内容。\n"
    "\n"
    ":param obj: 文件路径。\n"
    ":param mode: 文件打开模式，默认为 'r'。\n"
    ":param encoding: 文件编码，默认为 None。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 生成器，逐行返回文件内容。";

constexpr const char* kReadlinesText = "期望读取 obj 文件所有行";
constexpr const char* kReadlinesDoc =
    "PathBase._path_readlines(cls, obj, mode='r', encoding=None, except_result='valkin_except_result')\n"
    "读取文件所有行。\n"
    "\n"
    ":param obj: 文件路径。\n"
    ":param mode: 文件打开模式，默认为 'r'。\n"
    ":param encoding: 文件编码，默认为 None。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 文件所有行的列表。";

constexpr const char* kWriteText = "期望写入内容到 obj 文件";
constexpr const char* kWriteDoc =
    "PathBase._path_write(cls, obj, content, mode='w', encoding=None, except_result='valkin_except_result')\n"
    "写入内容到文件。\n"
    "\n"
    ":param obj: 文件路径。\n"
    ":param content: 要写入的内容。\n"
    ":param mode: 文件打开模式，默认为 'w'。\n"
    ":param encoding: 文件编码，默认为 None。\n"
    ":param except_result: 异常时返回的结果。";

constexpr const char* kWritelinesText = "期望写入多行内容到 obj 文件";
constexpr const char* kWritelinesDoc =
    "PathBase._path_writelines(cls, obj, lines, mode='w', encoding=None, except_result='valkin_except_result')\n"
    "写入多行内容到文件。\n"
    "\n"
    ":param obj: 文件路径。\n"
    ":param lines: 要写入的多行内容（可迭代对象）。\n"
    ":param mode: 文件打开模式，默认为 'w'。\n"
    ":param encoding: 文件编码，默认为 None。\n"
    ":param except_result: 异常时返回的结果。";

constexpr const char* kFileListText = "期望获取 obj 目录下所有文件的路径列表";
constexpr const char* kFileListDoc =
    "PathBase._path_file_list(cls, obj, except_result='valkin_except_result')\n"
    "获取目录下所有文件的路径列表。\n"
    "\n"
    ":param obj: 目录路径。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 文件路径列表。";

constexpr const char* kFileDictText = "期望获取 obj 目录下所有文件的字典结构，包含子目录";
constexpr const char* kFileDictDoc =
    "PathBase._path_file_dict(cls, obj, skip_dir=None, skip_file=None, except_result='valkin_except_result')\n"
    "获取目录下所有文件的字典结构，包含子目录。\n"
    "\n"
    ":param obj: 目录路径。\n"
    ":param skip_dir: 要跳过的目录列表，默认为 None。\n"
    ":param skip_file: 要跳过的文件列表，默认为 None。\n"
    ":param except_result: 异常时返回的结果。\n"
    ":return: 文件字典结构。";

constexpr Param kTestFallback{"except_result", false_default};

// ---- _path_normal ----------------------------------------------------------

// True when os.path.normpath returns the text unchanged: non-empty, at most
// one leading separator, no empty, "." or ".." component, no trailing
// separator and no NUL. Anything else goes to normpath itself.
template <class Char>
bool already_normal(const Char* s, Py_ssize_t n) {
    if (n == 0) return false;
    Py_ssize_t start = s[0] == '/' ? 1 : 0;
    if (start == n) return false;  // "/" alone
    Py_ssize_t component = start;  // where the current component began
    for (Py_ssize_t i = start; i <= n; ++i) {
        Char c = i < n ? s[i] : Char('/');
        if (c == 0) return false;
        if (c != '/') continue;
        Py_ssize_t len = i - component;
        if (len == 0) return false;  // "//", or a trailing separator
        if (s[component] == '.' && (len == 1 || (len == 2 && s[component + 1] == '.'))) return false;
        component = i + 1;
    }
    return true;
}

bool already_normal(PyObject* path) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(path);
    switch (PyUnicode_KIND(path)) {
        case PyUnicode_1BYTE_KIND: return already_normal(PyUnicode_1BYTE_DATA(path), n);
        case PyUnicode_2BYTE_KIND: return already_normal(PyUnicode_2BYTE_DATA(path), n);
        default: return already_normal(PyUnicode_4BYTE_DATA(path), n);
    }
}

// A new str equal to `text`, as normpath hands back.
Ref copy_str(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref out = steal(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(text)));
    if (!out) return {};
    std::memcpy(PyUnicode_DATA(out.get()), PyUnicode_DATA(text), static_cast<size_t>(n) * PyUnicode_KIND(text));
    return out;
}

Ref path_normal(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* obj = a[1];
    Ref os = lookup_global(self->owner, st->n_os.get());
    if (!os) return {};
    if (PyUnicode_CheckExact(obj) && os.get() == st->os.get()) {
        int same = holds(os.get(), st->os.get(), st->n_path.get(), st->posixpath.get());
        if (same > 0) same = holds(st->posixpath.get(), st->posixpath.get(), st->n_normpath.get(), st->normpath.get());
        if (same < 0) return {};
        if (same && already_normal(obj)) return copy_str(obj);
    }
    Ref path = getattr(os.get(), st->n_path.get());
    if (!path) return {};
    Ref normpath = getattr(path.get(), st->n_normpath.get());
    if (!normpath) return {};
    return call(normpath.get(), obj);
}

// ---- _path_exists, _path_file, _path_dir -----------------------------------

enum class Test { Exists, File, Dir };

// os.path.<name>(obj). Natively for a str or bytes path while `os`,
// `os.path`, the test itself and `os.stat` (which the test calls) are the
// objects found at import.
Ref path_test(Function* self, PyObject* obj, Test which) {
    State* st = state(self);
    PyObject* name;
    PyObject* original;
    switch (which) {
        case Test::Exists: name = st->n_exists.get(), original = st->exists.get(); break;
        case Test::File: name = st->n_isfile.get(), original = st->isfile.get(); break;
        default: name = st->n_isdir.get(), original = st->isdir.get(); break;
    }
    Ref os = lookup_global(self->owner, st->n_os.get());
    if (!os) return {};
    if (os.get() == st->os.get() && (PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj))) {
        int same = holds(os.get(), st->os.get(), st->n_path.get(), st->posixpath.get());
        if (same > 0) same = holds(st->posixpath.get(), st->posixpath.get(), name, original);
        if (same > 0) same = holds(os.get(), st->os.get(), st->n_stat.get(), st->stat.get());
        if (same < 0) return {};
        if (same) {
            StatResult kind = stat_kind(obj);
            switch (kind) {
                case StatResult::Error: return {};
                case StatResult::Missing: return boolean(false);
                case StatResult::File: return boolean(which != Test::Dir);
                case StatResult::Dir: return boolean(which != Test::File);
                case StatResult::Special: return boolean(which == Test::Exists);
            }
        }
    }
    Ref path = getattr(os.get(), st->n_path.get());
    if (!path) return {};
    Ref test = getattr(path.get(), name);
    if (!test) return {};
    return call(test.get(), obj);
}

Ref path_exists(Function* self, PyObject* const* a) { return path_test(self, a[1], Test::Exists); }
Ref path_file(Function* self, PyObject* const* a) { return path_test(self, a[1], Test::File); }
Ref path_dir(Function* self, PyObject* const* a) { return path_test(self, a[1], Test::Dir); }

// ---- _path_delete, _path_copy, _path_move ----------------------------------

// `if cls.<name>(obj):` — the sibling runs under its own guard.
int sibling(PyObject* cls, PyObject* name, PyObject* obj) {
    Ref answer = call_method(cls, name, obj);
    if (!answer) return -1;
    return PyObject_IsTrue(answer.get());
}

// `<module global>.<attr>(args...)`, both looked up now.
template <class... A>
Ref call_global_attr(Function* self, PyObject* global_name, PyObject* attr, A... args) {
    Ref module = lookup_global(self->owner, global_name);
    if (!module) return {};
    Ref fn = getattr(module.get(), attr);
    if (!fn) return {};
    return call(fn.get(), args...);
}

Ref path_delete(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* obj = a[1];
    int is_file = sibling(cls, st->n_path_file.get(), obj);
    if (is_file < 0) return {};
    if (is_file) {
        if (!call_global_attr(self, st->n_os.get(), st->n_remove.get(), obj)) return {};
    } else {
        int is_dir = sibling(cls, st->n_path_dir.get(), obj);
        if (is_dir < 0) return {};
        if (is_dir && !call_global_attr(self, st->n_shutil.get(), st->n_rmtree.get(), obj)) return {};
    }
    int exists = sibling(cls, st->n_path_exists.get(), obj);
    if (exists < 0) return {};
    return boolean(!exists);
}

// Refuses an existing target: FileExistsError("目标路径 {tar_obj} 已存在").
bool refuse_existing(State* st, PyObject* cls, PyObject* tar_obj) {
    int exists = sibling(cls, st->n_path_exists.get(), tar_obj);
    if (exists < 0) return false;
    if (!exists) return true;
    Ref empty_format = steal(PyUnicode_New(0, 0));
    if (!empty_format) return false;
    Ref shown = steal(PyObject_Format(tar_obj, empty_format.get()));
    if (!shown) return false;
    Ref head = str("目标路径 ");
    Ref tail = str(" 已存在");
    if (!head || !tail) return false;
    Ref left = steal(PyUnicode_Concat(head.get(), shown.get()));
    if (!left) return false;
    Ref message = steal(PyUnicode_Concat(left.get(), tail.get()));
    if (!message) return false;
    PyErr_SetObject(PyExc_FileExistsError, message.get());
    return false;
}

Ref target_exists(State* st, PyObject* cls, PyObject* tar_obj) {
    int exists = sibling(cls, st->n_path_exists.get(), tar_obj);
    if (exists < 0) return {};
    return boolean(exists);
}

Ref path_copy(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* src = a[1];
    PyObject* tar = a[2];
    if (!refuse_existing(st, cls, tar)) return {};
    int is_file = sibling(cls, st->n_path_file.get(), src);
    if (is_file < 0) return {};
    if (is_file) {
        if (!call_global_attr(self, st->n_shutil.get(), st->n_copy.get(), src, tar)) return {};
    } else {
        int is_dir = sibling(cls, st->n_path_dir.get(), src);
        if (is_dir < 0) return {};
        if (is_dir && !call_global_attr(self, st->n_shutil.get(), st->n_copytree.get(), src, tar)) return {};
    }
    return target_exists(st, cls, tar);
}

Ref path_move(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* src = a[1];
    PyObject* tar = a[2];
    if (!refuse_existing(st, cls, tar)) return {};
    int movable = sibling(cls, st->n_path_file.get(), src);
    if (movable < 0) return {};
    if (!movable) movable = sibling(cls, st->n_path_dir.get(), src);
    if (movable < 0) return {};
    if (movable && !call_global_attr(self, st->n_shutil.get(), st->n_move.get(), src, tar)) return {};
    return target_exists(st, cls, tar);
}

// ---- module ----------------------------------------------------------------

bool intern_all(State* st) {
    struct Name {
        Ref* slot;
        const char* text;
    } names[] = {
        {&st->n_os, "os"}, {&st->n_shutil, "shutil"}, {&st->n_deque, "deque"}, {&st->n_open, "open"},
        {&st->n_set, "set"}, {&st->n_path, "path"}, {&st->n_exists, "exists"}, {&st->n_isfile, "isfile"},
        {&st->n_isdir, "isdir"}, {&st->n_normpath, "normpath"}, {&st->n_abspath, "abspath"},
        {&st->n_basename, "basename"}, {&st->n_join, "join"}, {&st->n_stat, "stat"}, {&st->n_fspath, "fspath"},
        {&st->n_listdir, "listdir"}, {&st->n_walk, "walk"}, {&st->n_scandir, "scandir"},
        {&st->n_remove, "remove"}, {&st->n_rmtree, "rmtree"}, {&st->n_copy, "copy"},
        {&st->n_copytree, "copytree"}, {&st->n_move, "move"}, {&st->n_path_exists, "_path_exists"},
        {&st->n_path_file, "_path_file"}, {&st->n_path_dir, "_path_dir"}, {&st->n_read, "read"},
        {&st->n_readline, "readline"}, {&st->n_readlines, "readlines"}, {&st->n_write, "write"},
        {&st->n_writelines, "writelines"}, {&st->n_rstrip, "rstrip"}, {&st->n_enter, "__enter__"},
        {&st->n_exit, "__exit__"}, {&st->n_pop, "pop"}, {&st->n_append, "append"},
        {&st->gen_name, "_path_readline"}, {&st->gen_qualname, "PathBase._path_readline"},
    };
    for (Name& n : names) {
        *n.slot = interned(n.text);
        if (!*n.slot) return false;
    }
    st->kw_encoding = steal(Py_BuildValue("(s)", "encoding"));
    st->kw_encoding_closefd = steal(Py_BuildValue("(ss)", "encoding", "closefd"));
    st->kw_topdown = steal(Py_BuildValue("(s)", "topdown"));
    return st->kw_encoding && st->kw_encoding_closefd && st->kw_topdown;
}

// Captures `module.<name>` into `slot`.
bool capture(Ref* slot, PyObject* module, PyObject* name) {
    *slot = getattr(module, name);
    return static_cast<bool>(*slot);
}

int fsops_exec(PyObject* m) {
    State* st = state(m);
    if (!intern_all(st)) return -1;

    Ref os = import_module("os");
    if (!bind(m, "os", os)) return -1;
    Ref shutil = import_module("shutil");
    if (!bind(m, "shutil", shutil)) return -1;
    Ref deque = import_from("collections", "deque");
    if (!bind(m, "deque", deque)) return -1;
    Ref guard = import_relative(m, "guardrail", "_valkin_except");
    if (!bind(m, "_valkin_except", guard)) return -1;

    st->os = os;
    st->shutil = shutil;
    st->deque = deque;
    if (!capture(&st->posixpath, os.get(), st->n_path.get())) return -1;
    PyObject* path = st->posixpath.get();
    if (!capture(&st->exists, path, st->n_exists.get()) || !capture(&st->isfile, path, st->n_isfile.get()) ||
        !capture(&st->isdir, path, st->n_isdir.get()) || !capture(&st->join, path, st->n_join.get()) ||
        !capture(&st->normpath, path, st->n_normpath.get()) ||
        !capture(&st->stat, os.get(), st->n_stat.get()) || !capture(&st->fspath, os.get(), st->n_fspath.get()) ||
        !capture(&st->listdir, os.get(), st->n_listdir.get()) || !capture(&st->walk, os.get(), st->n_walk.get()) ||
        !capture(&st->scandir, os.get(), st->n_scandir.get())) {
        return -1;
    }
    st->open = import_from("builtins", "open");
    if (!st->open) return -1;
    st->line_reader_type = make_line_reader_type(m);
    if (!st->line_reader_type) return -1;

    PyObject* g = guard.get();
    const Param obj{"obj"};
    const Param mode_r{"mode", str_default("r")};
    const Param mode_w{"mode", str_default("w")};
    const Param encoding{"encoding", none_default};
    ClassBuilder cls(m, "PathBase", kClassDoc);
    cls.guarded(g, kNormalText, {"_path_normal", "PathBase._path_normal", kNormalDoc},
                {{"cls"}, obj, except_result_param}, path_normal)
        .guarded(g, kExistsText, {"_path_exists", "PathBase._path_exists", kExistsDoc},
                 {{"cls"}, obj, kTestFallback}, path_exists)
        .guarded(g, kFileText, {"_path_file", "PathBase._path_file", kFileDoc}, {{"cls"}, obj, kTestFallback},
                 path_file)
        .guarded(g, kDirText, {"_path_dir", "PathBase._path_dir", kDirDoc}, {{"cls"}, obj, kTestFallback}, path_dir)
        .guarded(g, kDeleteText, {"_path_delete", "PathBase._path_delete", kDeleteDoc},
                 {{"cls"}, obj, except_result_param}, path_delete)
        .guarded(g, kCopyText, {"_path_copy", "PathBase._path_copy", kCopyDoc},
                 {{"cls"}, {"src_obj"}, {"tar_obj"}, except_result_param}, path_copy)
        .guarded(g, kMoveText, {"_path_move", "PathBase._path_move", kMoveDoc},
                 {{"cls"}, {"src_obj"}, {"tar_obj"}, except_result_param}, path_move)
        .guarded(g, kReadText, {"_path_read", "PathBase._path_read", kReadDoc},
                 {{"cls"}, obj, mode_r, encoding, except_result_param}, path_read)
        .guarded(g, kReadlineText, {"_path_readline", "PathBase._path_readline", kReadlineDoc},
                 {{"cls"}, obj, mode_r, encoding, except_result_param}, path_readline)
        .guarded(g, kReadlinesText, {"_path_readlines", "PathBase._path_readlines", kReadlinesDoc},
                 {{"cls"}, obj, mode_r, encoding, except_result_param}, path_readlines)
        .guarded(g, kWriteText, {"_path_write", "PathBase._path_write", kWriteDoc},
                 {{"cls"}, obj, {"content"}, mode_w, encoding, except_result_param}, path_write)
        .guarded(g, kWritelinesText, {"_path_writelines", "PathBase._path_writelines", kWritelinesDoc},
                 {{"cls"}, obj, {"lines"}, mode_w, encoding, except_result_param}, path_writelines)
        .guarded(g, kFileListText, {"_path_file_list", "PathBase._path_file_list", kFileListDoc},
                 {{"cls"}, obj, except_result_param}, path_file_list)
        .guarded(g, kFileDictText, {"_path_file_dict", "PathBase._path_file_dict", kFileDictDoc},
                 {{"cls"}, obj, {"skip_dir", none_default}, {"skip_file", none_default}, except_result_param},
                 path_file_dict);
    return cls.bind_in_module() ? 0 : -1;
}

}  // namespace
}  // namespace valkin::fsops

using valkin::fsops::fsops_exec;
using valkin::fsops::State;
VALKIN_MODULE(fsops, State, fsops_exec)
