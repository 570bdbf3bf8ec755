// CallableBase: display names, "module:name" references, signatures with an
// argument check, and coroutine detection.
//
// Namespace, in order: inspect, iscoroutinefunction, partial, lru_cache,
// signature, _valkin_except, CallableBase.
//
// Module-level names are looked up at every call and whatever is found is
// used. Two native shortcuts stand in for interpreted code when, and only
// when, everything that code would consult is still what it was at import:
//   - the `inspect` predicates ismethod, isclass, isfunction and isbuiltin,
//     each a single isinstance test;
//   - `asyncio.iscoroutinefunction` of a plain function: its code flags,
//     after the attribute probes the library makes come back empty.
// "Still what it was" is tracked with a dict watcher on every namespace
// involved (a change makes the next call re-check each name) plus a check of
// each function's code object on every call.
#include "runtime/checks.h"
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

#include <cstdint>
#include <cstring>
#include <utility>

using namespace valkin;

namespace {

// ---- namespace watching ------------------------------------------------------

// Bumped whenever a watched namespace changes.
unsigned long g_generation = 1;
int g_watcher = -1;

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_generation;
    return 0;
}

constexpr int kMemoSlots = 64;

struct State {
    // Captured at import.
    Ref inspect, signature_type, parameter_type, partial;
    Ref import_func;  // the builtin __import__, fetched once
    // _callable_name as stored on the class: classmethod, guard wrapper, body.
    Ref name_method, name_function;
    Ref absent;       // marks "no such key" in the snapshots below
    // Snapshots: flat tuples of (dict, key, value-at-import) triples, and of
    // (function, code-at-import) pairs, for each shortcut.
    Ref inspect_names, inspect_codes, coroutine_names, coroutine_codes;
    // Parameter facts of recently checked exact Signature objects:
    // (Signature, names, codes); the Signature is kept alive while cached.
    Ref memo[kMemoSlots];
    // Names looked up at each call.
    Ref n_inspect, n_ismethod, n_isclass, n_isfunction, n_isbuiltin, n_partial, n_iscoroutinefunction, n_signature;
    Ref n_callable_name, n_callable_obj, n_get_signature;
    Ref n_self, n_name, n_qualname, n_module, n_call, n_func, n_split, n_parameters, n_values;
    Ref n_kind, n_param_name, n_default, n_empty;
    Ref n_kinds[5];  // POSITIONAL_OR_KEYWORD, POSITIONAL_ONLY, KEYWORD_ONLY, VAR_POSITIONAL, VAR_KEYWORD
    Ref n_partialmethod_attr, n_coroutine_marker, n_is_coroutine;
    // Texts.
    Ref s_empty, s_dot, s_colon, s_comma, s_lambda, s_locals, s_one;
    Ref m_name_head, m_name_tail, m_partial, m_lambda, m_locals, m_not_str, m_no_colon;
    Ref m_resolve_head, m_import_mid, m_import_tail, m_lookup_mid, m_lookup_tail;
    Ref m_no_signature, m_conflicts, m_positional_only, m_unsatisfied, m_unsatisfied_kw;
    Ref m_too_long_head, m_too_long_mid, m_too_long_tail, m_unexpected;
    Ref kw_follow_wrapped, kw_fromlist;  // keyword-name tuples
    // Plain values (zeroed memory is a valid start).
    unsigned long generation;  // g_generation when the flags below were worked out
    bool watching;             // every namespace of the snapshots is watched
    bool fast_inspect, fast_coroutine;
    bool builtin_import;       // import_func is the interpreter's own __import__
    long coroutine_flag;       // inspect.CO_COROUTINE

    template <class F>
    void each(F&& f) {
        f(inspect), f(signature_type), f(parameter_type), f(partial), f(import_func), f(absent);
        f(name_method), f(name_function);
        f(inspect_names), f(inspect_codes), f(coroutine_names), f(coroutine_codes);
        for (Ref& r : memo) f(r);
        f(n_inspect), f(n_ismethod), f(n_isclass), f(n_isfunction), f(n_isbuiltin), f(n_partial);
        f(n_iscoroutinefunction), f(n_signature);
        f(n_callable_name), f(n_callable_obj), f(n_get_signature);
        f(n_self), f(n_name), f(n_qualname), f(n_module), f(n_call), f(n_func), f(n_split), f(n_parameters);
        f(n_values), f(n_kind), f(n_param_name), f(n_default), f(n_empty);
        for (Ref& k : n_kinds) f(k);
        f(n_partialmethod_attr), f(n_coroutine_marker), f(n_is_coroutine);
        f(s_empty), f(s_dot), f(s_colon), f(s_comma), f(s_lambda), f(s_locals), f(s_one);
        f(m_name_head), f(m_name_tail), f(m_partial), f(m_lambda), f(m_locals), f(m_not_str), f(m_no_colon);
        f(m_resolve_head), f(m_import_mid), f(m_import_tail), f(m_lookup_mid), f(m_lookup_tail);
        f(m_no_signature), f(m_conflicts), f(m_positional_only), f(m_unsatisfied), f(m_unsatisfied_kw);
        f(m_too_long_head), f(m_too_long_mid), f(m_too_long_tail), f(m_unexpected);
        f(kw_follow_wrapped), f(kw_fromlist);
    }
};

State* state(Function* self) { return state_of<State>(self); }

// True when every (dict, key, value) triple of `names` still holds; -1 on error.
int snapshot_holds(State* st, PyObject* names) {
    if (!names) return 0;
    for (Py_ssize_t i = 0; i + 2 < PyTuple_GET_SIZE(names); i += 3) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(names, i + 1), &value) < 0) return -1;
        Ref held = steal(value);
        PyObject* now = value ? value : st->absent.get();
        if (now != PyTuple_GET_ITEM(names, i + 2)) return 0;
    }
    return 1;
}

// True when each function of `codes` still runs the code it had at import.
bool codes_hold(PyObject* codes) {
    if (!codes) return false;
    for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(codes); i += 2) {
        if (PyFunction_GET_CODE(PyTuple_GET_ITEM(codes, i)) != PyTuple_GET_ITEM(codes, i + 1)) return false;
    }
    return true;
}

// Re-checks the namespaces when one of them changed (or always, unwatched).
bool refresh(State* st) {
    if (st->watching && st->generation == g_generation) return true;
    int inspect_ok = snapshot_holds(st, st->inspect_names.get());
    if (inspect_ok < 0) return false;
    int coroutine_ok = inspect_ok ? snapshot_holds(st, st->coroutine_names.get()) : 0;
    if (coroutine_ok < 0) return false;
    st->fast_inspect = inspect_ok;
    st->fast_coroutine = coroutine_ok;
    st->generation = g_generation;
    return true;
}

// -1 on error, else whether the inspect predicates may be answered natively.
int inspect_is_native(State* st) {
    if (!refresh(st)) return -1;
    return st->fast_inspect && Py_IS_TYPE(st->inspect.get(), &PyModule_Type) && codes_hold(st->inspect_codes.get());
}

// True when the pending exception is an `Exception` (what `except Exception` catches).
bool catchable() { return PyErr_ExceptionMatches(PyExc_Exception); }

// Raises `type(message)`; returns the empty reference.
Ref raise(PyObject* type, const Ref& message) {
    if (message) PyErr_SetObject(type, message.get());
    return {};
}

// `a + b + c + ...`, left to right, with the interpreter's dispatch (a str
// subclass may reflect it); exact str pieces are joined in one allocation.
Ref add_all(std::initializer_list<PyObject*> parts) {
    bool exact = true;
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (PyObject* p : parts) {
        if (!PyUnicode_CheckExact(p)) {
            exact = false;
            break;
        }
        length += PyUnicode_GET_LENGTH(p);
        Py_UCS4 top = PyUnicode_MAX_CHAR_VALUE(p);
        if (top > widest) widest = top;
    }
    if (exact) {
        Ref joined = steal(PyUnicode_New(length, widest));
        if (!joined) return {};
        Py_ssize_t at = 0;
        int kind = PyUnicode_KIND(joined.get());
        for (PyObject* p : parts) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(p);
            if (PyUnicode_KIND(p) == kind) {
                std::memcpy(static_cast<char*>(PyUnicode_DATA(joined.get())) + at * kind, PyUnicode_DATA(p),
                            static_cast<std::size_t>(n) * kind);
            } else if (PyUnicode_CopyCharacters(joined.get(), at, p, 0, n) < 0) {
                return {};
            }
            at += n;
        }
        return joined;
    }
    Ref acc = borrow(*parts.begin());
    for (auto it = parts.begin() + 1; it != parts.end(); ++it) {
        acc = steal(PyNumber_Add(acc.get(), *it));
        if (!acc) return {};
    }
    return acc;
}

// `format(x, "")`: what an f-string replacement field gives.
Ref text_of(State* st, PyObject* x) {
    if (PyUnicode_CheckExact(x)) return borrow(x);
    return steal(PyObject_Format(x, st->s_empty.get()));
}

// Attributes of a plain function, read as the function type's own
// descriptors would (the type is immutable, so nothing can intervene).
PyObject* function_field(PyObject* func, PyObject* PyFunctionObject::*field) {
    PyObject* value = reinterpret_cast<PyFunctionObject*>(func)->*field;
    return value ? value : Py_None;
}

// `obj.<name>` where `field` holds it for plain functions.
Ref attribute(PyObject* obj, PyObject* name, PyObject* PyFunctionObject::*field) {
    if (Py_IS_TYPE(obj, &PyFunction_Type)) return borrow(function_field(obj, field));
    return getattr(obj, name);
}

// `type(obj).__qualname__`.
Ref qualname_of_type(State* st, PyTypeObject* tp) {
    if (Py_IS_TYPE(tp, &PyType_Type)) return steal(PyType_GetQualName(tp));  // no metaclass to intervene
    return getattr(reinterpret_cast<PyObject*>(tp), st->n_qualname.get());
}

// ---- the inspect predicates ------------------------------------------------

enum class Test { Method, Class, Function, Builtin };

// `inspect.<test>(obj)` made true or false, with `inspect` looked up now; -1 on error.
int inspect_test(Function* self, Test test, PyObject* obj) {
    State* st = state(self);
    PyObject* name = nullptr;
    PyTypeObject* type = nullptr;
    switch (test) {
        case Test::Method: name = st->n_ismethod.get(), type = &PyMethod_Type; break;
        case Test::Class: name = st->n_isclass.get(), type = &PyType_Type; break;
        case Test::Function: name = st->n_isfunction.get(), type = &PyFunction_Type; break;
        case Test::Builtin: name = st->n_isbuiltin.get(), type = &PyCFunction_Type; break;
    }
    int native = inspect_is_native(st);
    if (native < 0) return -1;
    if (native) return isinstance_of(obj, reinterpret_cast<PyObject*>(type));
    Ref module = lookup_global(self, st->n_inspect.get());
    if (!module) return -1;
    Ref predicate = getattr(module.get(), name);
    if (!predicate) return -1;
    Ref result = call(predicate.get(), obj);
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// ---- _callable_name ----------------------------------------------------------

constexpr const char* kNameText = "期望获取 obj 可调用对象的名称";
constexpr const char* kNameDoc =
    "CallableBase._callable_name(cls, obj, except_result='valkin_except_result')\n"
    "获取可调用对象 `obj` 的名称。\n"
    "\n"
    "该方法用于确定给定对象 `obj` 的名称，适用于方法、类、函数、内置函数以及具有 `__call__` 方法的对象。\n"
    "如果无法确定对象的名称，将抛出 `TypeError` 异常。\n"
    "\n"
    "参数:\n"
    "- cls: 类方法所属的类。\n"
    "- obj: 需要获取名称的可调用对象。\n"
    "- except_result: 当发生异常时返回的默认值（由装饰器 `@_valkin_except` 处理）。\n"
    "\n"
    "返回值:\n"
    "- str: 可调用对象的名称。如果无法确定名称，则抛出 `TypeError` 异常。";

Ref callable_name(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* obj = a[1];
    int is = inspect_test(self, Test::Method, obj);
    if (is < 0) return {};
    if (is) {
        // Named after what the method is bound to: the class itself, or the
        // class of the instance.
        bool plain_method = Py_IS_TYPE(obj, &PyMethod_Type);
        Ref owner = plain_method ? borrow(PyMethod_GET_SELF(obj)) : getattr(obj, st->n_self.get());
        if (!owner) return {};
        int owner_is_class = inspect_test(self, Test::Class, owner.get());
        if (owner_is_class < 0) return {};
        if (!owner_is_class) owner = borrow(reinterpret_cast<PyObject*>(Py_TYPE(owner.get())));
        Ref qualname = Py_IS_TYPE(owner.get(), &PyType_Type)
                           ? qualname_of_type(st, reinterpret_cast<PyTypeObject*>(owner.get()))
                           : getattr(owner.get(), st->n_qualname.get());
        if (!qualname) return {};
        Ref owner_text = text_of(st, qualname.get());
        if (!owner_text) return {};
        // A method's other attributes are its function's (the method type defines no __name__).
        Ref name = attribute(plain_method ? PyMethod_GET_FUNCTION(obj) : obj, st->n_name.get(),
                             &PyFunctionObject::func_name);
        if (!name) return {};
        Ref name_text = text_of(st, name.get());
        if (!name_text) return {};
        return add_all({owner_text.get(), st->s_dot.get(), name_text.get()});
    }
    for (Test test : {Test::Class, Test::Function, Test::Builtin}) {
        is = inspect_test(self, test, obj);
        if (is < 0) return {};
        if (is) {
            if (Py_IS_TYPE(obj, &PyType_Type)) return qualname_of_type(st, reinterpret_cast<PyTypeObject*>(obj));
            return attribute(obj, st->n_qualname.get(), &PyFunctionObject::func_qualname);
        }
    }
    PyObject* call_attr = nullptr;
    if (PyObject_GetOptionalAttr(obj, st->n_call.get(), &call_attr) < 0) return {};
    Ref held = steal(call_attr);
    if (held && PyCallable_Check(held.get())) {
        return getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), st->n_qualname.get());
    }
    Ref shown = steal(PyObject_Repr(obj));
    if (!shown) return {};
    return raise(PyExc_TypeError, add_all({st->m_name_head.get(), shown.get(), st->m_name_tail.get()}));
}

// ---- _callable_ref -----------------------------------------------------------

constexpr const char* kRefText = "期望将 obj 对象转换为引用字符串";
constexpr const char* kRefDoc =
    "CallableBase._callable_ref(cls, obj, except_result='valkin_except_result')\n"
    "将可调用对象（如函数、方法等）转换为引用字符串。\n"
    "\n"
    "参数:\n"
    "- cls: 类对象，用于调用类方法。\n"
    "- obj: 可调用对象，需要转换为引用字符串的对象。\n"
    "- except_result: 当发生异常时返回的默认值，默认为 None。\n"
    "\n"
    "返回值:\n"
    "- str: 返回一个表示可调用对象引用的字符串，格式为 \"模块名:函数名\"。\n"
    "\n"
    "异常:\n"
    "- ValueError: 如果对象是 partial、lambda 或嵌套函数，则抛出异常，因为这些对象无法被唯一标识。";

// `cls._callable_name(obj)`. When `cls` finds this module's own guarded
// operation under that name (plain metaclass, the same classmethod object,
// whose function cannot be swapped), the body is run directly with the guard's rule
// for a call without except_result: an Exception gives None.
Ref name_through_cls(State* st, PyObject* cls, PyObject* obj) {
    if (resolves_to(cls, st->n_callable_name.get(), st->name_method.get())) {
        PyObject* args[] = {cls, obj, st->n_callable_name.get()};  // the last stands for the unread default
        return as_guarded(callable_name(reinterpret_cast<Function*>(st->name_function.get()), args));
    }
    return call_method(cls, st->n_callable_name.get(), obj);
}

Ref callable_ref(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* obj = a[1];
    Ref partial = lookup_global(self, st->n_partial.get());
    if (!partial) return {};
    int is = isinstance_of(obj, partial.get());
    if (is < 0) return {};
    if (is) return raise(PyExc_ValueError, st->m_partial);
    Ref name = name_through_cls(st, cls, obj);
    if (!name) return {};
    is = PySequence_Contains(name.get(), st->s_lambda.get());
    if (is < 0) return {};
    if (is) return raise(PyExc_ValueError, st->m_lambda);
    is = PySequence_Contains(name.get(), st->s_locals.get());
    if (is < 0) return {};
    if (is) return raise(PyExc_ValueError, st->m_locals);
    is = inspect_test(self, Test::Method, obj);
    if (is < 0) return {};
    Ref module;
    if (is) {
        Ref owner = Py_IS_TYPE(obj, &PyMethod_Type) ? borrow(PyMethod_GET_SELF(obj)) : getattr(obj, st->n_self.get());
        if (!owner) return {};
        module = getattr(owner.get(), st->n_module.get());
    } else {
        module = attribute(obj, st->n_module.get(), &PyFunctionObject::func_module);
    }
    if (!module) return {};
    Ref module_text = text_of(st, module.get());
    if (!module_text) return {};
    Ref name_text = text_of(st, name.get());
    if (!name_text) return {};
    return add_all({module_text.get(), st->s_colon.get(), name_text.get()});
}

// ---- _callable_obj -----------------------------------------------------------

constexpr const char* kObjText = "期望将引用字符串转换回对象";
constexpr const char* kObjDoc =
    "CallableBase._callable_obj(cls, ref, except_result='valkin_except_result')\n"
    "将引用字符串转换为可调用对象。\n"
    "\n"
    "参数:\n"
    "- ref (str): 引用字符串，格式应为 'module:name'，表示模块和对象路径。\n"
    "- except_result (Any, optional): 在发生异常时返回的默认值。默认为 None。\n"
    "\n"
    "返回:\n"
    "- obj: 解析后的可调用对象。\n"
    "\n"
    "异常:\n"
    "- TypeError: 如果 `ref` 不是字符串类型。\n"
    "- ValueError: 如果 `ref` 格式不正确，缺少 ':' 分隔符。\n"
    "- LookupError: 如果无法导入模块或查找对象时出错。";

// `text.split(sep)` or `text.split(sep, 1)`; a str subclass's own split is honoured.
Ref split(State* st, PyObject* text, PyObject* sep, bool once) {
    if (PyUnicode_CheckExact(text)) return steal(PyUnicode_Split(text, sep, once ? 1 : -1));
    if (once) return call_method(text, st->n_split.get(), sep, st->s_one.get());
    return call_method(text, st->n_split.get(), sep);
}

// `first, second = seq`, with the interpreter's messages.
bool unpack_two(PyObject* seq, Ref& first, Ref& second) {
    if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) == 2) {
        first = borrow(PyList_GET_ITEM(seq, 0));
        second = borrow(PyList_GET_ITEM(seq, 1));
        return true;
    }
    Ref it = steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    Ref* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Replaces the caught `exc` by LookupError("解析引用 " + ref + middle + detail + tail),
// raised from it inside its handler.
Ref lookup_failed(State* st, PyObject* exc, PyObject* ref, PyObject* middle, PyObject* detail, PyObject* tail) {
    Handling handling(exc);
    Ref message = add_all({st->m_resolve_head.get(), ref, middle, detail, tail});
    if (!message) return {};
    Ref error = call(PyExc_LookupError, message.get());
    if (!error) return {};
    PyException_SetCause(error.get(), Py_NewRef(exc));  // also suppresses the context, as `from` does
    PyErr_SetObject(PyExc_LookupError, error.get());  // the context becomes `exc`
    return {};
}

// `__import__(modulename, fromlist=[rest])` with the __import__ fetched at import.
Ref import_named(State* st, PyObject* modulename, PyObject* rest) {
    Ref fromlist = steal(PyList_New(1));
    if (!fromlist) return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(rest));
    if (st->builtin_import) {
        // What the builtin does with these arguments, without parsing them.
        return steal(PyImport_ImportModuleLevelObject(modulename, nullptr, nullptr, fromlist.get(), 0));
    }
    PyObject* argv[] = {nullptr, modulename, fromlist.get()};
    return steal(PyObject_Vectorcall(st->import_func.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     st->kw_fromlist.get()));
}

// `for part in rest.split("."): obj = getattr(obj, part)`.
Ref walk(State* st, Ref obj, PyObject* rest) {
    Ref names = split(st, rest, st->s_dot.get(), false);
    if (!names) return {};
    if (PyList_CheckExact(names.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            Ref part = borrow(PyList_GET_ITEM(names.get(), i));
            obj = getattr(obj.get(), part.get());
            if (!obj) return {};
        }
        return obj;
    }
    Ref it = steal(PyObject_GetIter(names.get()));
    if (!it) return {};
    while (Ref part = steal(PyIter_Next(it.get()))) {
        obj = getattr(obj.get(), part.get());
        if (!obj) return {};
    }
    if (PyErr_Occurred()) return {};
    return obj;
}

Ref callable_obj(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* ref = a[1];
    if (!PyUnicode_Check(ref)) return raise(PyExc_TypeError, st->m_not_str);
    Ref modulename, rest;
    if (PyUnicode_CheckExact(ref)) {
        Py_ssize_t colon = PyUnicode_FindChar(ref, ':', 0, PyUnicode_GET_LENGTH(ref), 1);
        if (colon == -2) return {};
        if (colon < 0) return raise(PyExc_ValueError, st->m_no_colon);
        modulename = steal(PyUnicode_Substring(ref, 0, colon));
        rest = steal(PyUnicode_Substring(ref, colon + 1, PyUnicode_GET_LENGTH(ref)));
        if (!modulename || !rest) return {};
    } else {
        int has_colon = PySequence_Contains(ref, st->s_colon.get());
        if (has_colon < 0) return {};
        if (!has_colon) return raise(PyExc_ValueError, st->m_no_colon);
        Ref parts = split(st, ref, st->s_colon.get(), true);
        if (!parts || !unpack_two(parts.get(), modulename, rest)) return {};
    }

    Ref module = import_named(st, modulename.get(), rest.get());
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return {};
        Ref exc = steal(PyErr_GetRaisedException());
        return lookup_failed(st, exc.get(), ref, st->m_import_mid.get(), modulename.get(), st->m_import_tail.get());
    }
    Ref found = walk(st, std::move(module), rest.get());
    if (found || !catchable()) return found;
    Ref exc = steal(PyErr_GetRaisedException());
    return lookup_failed(st, exc.get(), ref, st->m_lookup_mid.get(), rest.get(), st->m_lookup_tail.get());
}

// ---- _callable_convert_obj ---------------------------------------------------

constexpr const char* kConvertText = "期望将引用字符串/对象统一转换回对象";
constexpr const char* kConvertDoc =
    "CallableBase._callable_convert_obj(cls, obj, except_result='valkin_except_result')\n"
    "将传入的对象或字符串转换为可调用对象。\n"
    "\n"
    "如果传入的对象是字符串类型，则调用类方法 `_callable_obj` 将其转换为可调用对象；\n"
    "否则，直接返回原对象。\n"
    "\n"
    "参数:\n"
    "- cls: 类对象，用于调用类方法。\n"
    "- obj: 需要转换的对象或字符串。\n"
    "- except_result: 异常情况下的返回值，默认为 None。\n"
    "\n"
    "返回值:\n"
    "- 转换后的可调用对象或原对象。";

Ref callable_convert_obj(Function* self, PyObject* const* a) {
    if (!PyUnicode_Check(a[1])) return borrow(a[1]);
    return call_method(a[0], state(self)->n_callable_obj.get(), a[1]);
}

// ---- _callable_check_args ----------------------------------------------------

constexpr const char* kCheckText = "期望将引用字符串转换回对象";
constexpr const char* kCheckDoc =
    "CallableBase._callable_check_args(cls, func, args, kwargs, except_result='valkin_except_result')\n"
    "检查给定的函数 `func` 是否能够接受提供的 `args` 和 `kwargs` 参数。\n"
    "\n"
    "该方法会分析函数的签名，并验证提供的参数是否与函数签名匹配。如果参数不匹配，\n"
    "会抛出相应的异常。\n"
    "\n"
    "参数:\n"
    "- func: 要检查的可调用对象（函数或方法）。\n"
    "- args: 提供给函数的位置参数列表。\n"
    "- kwargs: 提供给函数的关键字参数字典。\n"
    "\n"
    "返回值:\n"
    "无返回值。如果参数不匹配，会抛出 `ValueError` 异常。";

// Parameter kinds, in the order they are tested; `Other` matches none of them.
enum Kind : unsigned char { PositionalOrKeyword, PositionalOnly, KeywordOnly, VarPositional, VarKeyword, Other };
constexpr unsigned char kHasDefault = 8;

// The kind of `param`: `param.kind == param.<KIND>` for each kind in order.
int kind_of(State* st, PyObject* param) {
    Ref kind = getattr(param, st->n_kind.get());
    if (!kind) return -1;
    for (int k = 0; k < Other; ++k) {
        Ref constant = getattr(param, st->n_kinds[k].get());
        if (!constant) return -1;
        Ref equal = steal(PyObject_RichCompare(kind.get(), constant.get(), Py_EQ));
        if (!equal) return -1;
        int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return -1;
        if (truth) return k;
    }
    return Other;
}

// `param.default is param.empty`, made 0 or 1; -1 on error.
int lacks_default(State* st, PyObject* param) {
    Ref value = getattr(param, st->n_default.get());
    if (!value) return -1;
    Ref empty = getattr(param, st->n_empty.get());
    if (!empty) return -1;
    return value.get() == empty.get();
}

// One parameter as the matching sees it. Facts not known yet are read from
// `param` when first needed, in the order a plain reading of the check would.
struct ParamView {
    State* st;
    PyObject* param;  // borrowed; nullptr when everything is known
    int kind;
    Ref name;
    int no_default = -1;

    PyObject* get_name() {
        if (!name) name = getattr(param, st->n_param_name.get());
        return name.get();
    }
    int get_no_default() {
        if (no_default < 0) no_default = lacks_default(st, param);
        return no_default;
    }
};

bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// `list(kwargs)`, taken once: owned references to the keyword names, in order.
class Keywords {
public:
    Keywords() = default;
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;
    ~Keywords() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != small_) PyMem_Free(items_);
    }

    bool take(PyObject* kwargs) {
        Ref list;
        Py_ssize_t n;
        if (PyDict_CheckExact(kwargs)) {
            n = PyDict_GET_SIZE(kwargs);
        } else {
            if (!(list = steal(PySequence_List(kwargs)))) return false;
            n = PyList_GET_SIZE(list.get());
        }
        if (n > kSmall) {
            items_ = static_cast<PyObject**>(PyMem_Malloc(static_cast<std::size_t>(n) * sizeof(PyObject*)));
            if (!items_) {
                items_ = small_;
                PyErr_NoMemory();
                return false;
            }
        }
        if (list) {
            for (Py_ssize_t i = 0; i < n; ++i) items_[i] = Py_NewRef(PyList_GET_ITEM(list.get(), i));
            size_ = n;
        } else {
            Py_ssize_t pos = 0;
            PyObject* key;
            while (size_ < n && PyDict_Next(kwargs, &pos, &key, nullptr)) items_[size_++] = Py_NewRef(key);
        }
        for (Py_ssize_t i = 0; i < size_; ++i) exact_ = exact_ && PyUnicode_CheckExact(items_[i]);
        return true;
    }

    Py_ssize_t size() const { return size_; }

    // Index of the first name equal to `name` (list order, `item == name`), -1 if none, -2 on error.
    Py_ssize_t find(PyObject* name) {
        if (exact_ && PyUnicode_CheckExact(name)) {
            for (Py_ssize_t i = 0; i < size_; ++i) {
                if (same_text(items_[i], name)) return i;
            }
            return -1;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Ref item = borrow(items_[i]);
            int equal = PyObject_RichCompareBool(item.get(), name, Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
        return -1;
    }

    void remove(Py_ssize_t index) {
        PyObject* gone = items_[index];
        std::memmove(items_ + index, items_ + index + 1, static_cast<std::size_t>(size_ - index - 1) * sizeof(PyObject*));
        --size_;
        Py_DECREF(gone);
    }

    Ref as_list() const {
        Ref list = steal(PyList_New(size_));
        if (!list) return {};
        for (Py_ssize_t i = 0; i < size_; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(items_[i]));
        return list;
    }

private:
    static constexpr Py_ssize_t kSmall = 16;
    PyObject* small_[kSmall];
    PyObject** items_ = small_;
    Py_ssize_t size_ = 0;
    bool exact_ = true;
};

// The working lists of one check. The complaint lists are made when first
// appended to; `unmatched_args` only matters by its length.
struct Check {
    Ref conflicts, positional_only_kwargs, unsatisfied_args, unsatisfied_kwargs;
    Py_ssize_t unmatched_args = 0;
    Keywords unmatched_kwargs;
    bool has_varargs = false;
    bool has_var_kwargs = false;

    static bool append(Ref& list, PyObject* name) {
        if (!list && !(list = steal(PyList_New(0)))) return false;
        return PyList_Append(list.get(), name) == 0;
    }

    // Matches one parameter against what is still unmatched.
    bool match(ParamView& p) {
        switch (p.kind) {
            case PositionalOrKeyword: {
                PyObject* name = p.get_name();
                if (!name) return false;
                Py_ssize_t at = unmatched_kwargs.find(name);
                if (at == -2) return false;
                if (at >= 0 && unmatched_args) return append(conflicts, name);
                if (unmatched_args) {
                    --unmatched_args;
                    return true;
                }
                if (at >= 0) {
                    unmatched_kwargs.remove(at);
                    return true;
                }
                int no_default = p.get_no_default();
                if (no_default < 0) return false;
                return !no_default || append(unsatisfied_args, name);
            }
            case PositionalOnly: {
                if (unmatched_args) {
                    --unmatched_args;
                    return true;
                }
                PyObject* name = p.get_name();
                if (!name) return false;
                Py_ssize_t at = unmatched_kwargs.find(name);
                if (at == -2) return false;
                if (at >= 0) {
                    unmatched_kwargs.remove(at);
                    return append(positional_only_kwargs, name);
                }
                int no_default = p.get_no_default();
                if (no_default < 0) return false;
                return !no_default || append(unsatisfied_args, name);
            }
            case KeywordOnly: {
                PyObject* name = p.get_name();
                if (!name) return false;
                Py_ssize_t at = unmatched_kwargs.find(name);
                if (at == -2) return false;
                if (at >= 0) {
                    unmatched_kwargs.remove(at);
                    return true;
                }
                int no_default = p.get_no_default();
                if (no_default < 0) return false;
                return !no_default || append(unsatisfied_kwargs, name);
            }
            case VarPositional: has_varargs = true; return true;
            case VarKeyword: has_var_kwargs = true; return true;
            default: return true;
        }
    }
};

// The facts of an exact inspect.Signature: (sig, names, codes), from the memo
// or read now and remembered. Signature and Parameter objects are immutable,
// so what is read once stays true. Empty with no error set when `sig` does
// not qualify (another type, parameters that are not exactly
// inspect.Parameter, names that are not exactly str).
Ref signature_facts(State* st, PyObject* sig) {
    if (!Py_IS_TYPE(sig, reinterpret_cast<PyTypeObject*>(st->signature_type.get()))) return {};
    Ref& slot = st->memo[(reinterpret_cast<std::uintptr_t>(sig) >> 4) % kMemoSlots];
    if (slot && PyTuple_GET_ITEM(slot.get(), 0) == sig) return slot;

    Ref params = getattr(sig, st->n_parameters.get());
    if (!params) return {};
    Ref values = call_method(params.get(), st->n_values.get());
    if (!values) return {};
    Ref list = steal(PySequence_List(values.get()));
    if (!list) return {};
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    Ref names = steal(PyTuple_New(n));
    Ref codes = steal(PyBytes_FromStringAndSize(nullptr, n));
    if (!names || !codes) return {};
    char* code = PyBytes_AS_STRING(codes.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* param = PyList_GET_ITEM(list.get(), i);
        if (!Py_IS_TYPE(param, reinterpret_cast<PyTypeObject*>(st->parameter_type.get()))) return {};
        int kind = kind_of(st, param);
        if (kind < 0) return {};
        Ref name = getattr(param, st->n_param_name.get());
        if (!name) return {};
        if (!PyUnicode_CheckExact(name.get())) return {};
        int no_default = lacks_default(st, param);
        if (no_default < 0) return {};
        code[i] = static_cast<char>(kind | (no_default ? 0 : kHasDefault));
        PyTuple_SET_ITEM(names.get(), i, name.release());
    }
    Ref entry = steal(PyTuple_Pack(3, sig, names.get(), codes.get()));
    if (!entry) return {};
    slot = entry;
    return entry;
}

// Runs the matching over every parameter of `sig`.
bool match_parameters(State* st, PyObject* sig, Check& check) {
    Ref facts = signature_facts(st, sig);
    if (facts) {
        PyObject* names = PyTuple_GET_ITEM(facts.get(), 1);
        const char* codes = PyBytes_AS_STRING(PyTuple_GET_ITEM(facts.get(), 2));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
            ParamView p{st, nullptr, codes[i] & 7, borrow(PyTuple_GET_ITEM(names, i)),
                        (codes[i] & kHasDefault) ? 0 : 1};
            if (!check.match(p)) return false;
        }
        return true;
    }
    if (PyErr_Occurred()) return false;
    Ref params = getattr(sig, st->n_parameters.get());
    if (!params) return false;
    Ref values = call_method(params.get(), st->n_values.get());
    if (!values) return false;
    Ref it = steal(PyObject_GetIter(values.get()));
    if (!it) return false;
    while (Ref param = steal(PyIter_Next(it.get()))) {
        int kind = kind_of(st, param.get());
        if (kind < 0) return false;
        ParamView p{st, param.get(), kind, Ref(), -1};
        if (!check.match(p)) return false;
    }
    return !PyErr_Occurred();
}

// The decimal text of `value`, as str() of an int gives it.
Ref decimal(Py_ssize_t value) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* p = end;
    std::size_t magnitude = value < 0 ? 0 - static_cast<std::size_t>(value) : static_cast<std::size_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    return steal(PyUnicode_FromStringAndSize(p, end - p));
}

// ValueError(prefix + ", ".join(names)).
Ref complain(State* st, PyObject* prefix, PyObject* names) {
    Ref joined = steal(PyUnicode_Join(st->s_comma.get(), names));
    if (!joined) return {};
    return raise(PyExc_ValueError, add_all({prefix, joined.get()}));
}

Ref callable_check_args(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* func = a[1];
    PyObject* args = a[2];
    PyObject* kwargs = a[3];
    Check check;

    // list(args) and list(kwargs), as taken before the signature is fetched.
    if (PyTuple_CheckExact(args)) {
        check.unmatched_args = PyTuple_GET_SIZE(args);
    } else if (PyList_CheckExact(args)) {
        check.unmatched_args = PyList_GET_SIZE(args);
    } else {
        Ref copy = steal(PySequence_List(args));
        if (!copy) return {};
        check.unmatched_args = PyList_GET_SIZE(copy.get());
    }
    if (!check.unmatched_kwargs.take(kwargs)) return {};

    Ref sig = call_method(cls, st->n_get_signature.get(), func);
    if (!sig) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
        Ref err = steal(PyErr_GetRaisedException());
        Handling handling(err.get());
        return raise(PyExc_ValueError, st->m_no_signature);
    }
    if (!match_parameters(st, sig.get(), check)) return {};

    if (check.conflicts) return complain(st, st->m_conflicts.get(), check.conflicts.get());
    if (check.positional_only_kwargs) {
        return complain(st, st->m_positional_only.get(), check.positional_only_kwargs.get());
    }
    if (check.unsatisfied_args) return complain(st, st->m_unsatisfied.get(), check.unsatisfied_args.get());
    if (check.unsatisfied_kwargs) return complain(st, st->m_unsatisfied_kw.get(), check.unsatisfied_kwargs.get());
    if (check.unmatched_args && !check.has_varargs) {
        // len(args) - len(unmatched_args), then len(args), as the message reads.
        Py_ssize_t given = PyObject_Size(args);
        if (given < 0) return {};
        Ref matched = decimal(given - check.unmatched_args);
        if (!matched) return {};
        Py_ssize_t given_again = PyObject_Size(args);
        if (given_again < 0) return {};
        Ref provided = decimal(given_again);
        if (!provided) return {};
        return raise(PyExc_ValueError, add_all({st->m_too_long_head.get(), matched.get(), st->m_too_long_mid.get(),
                                                provided.get(), st->m_too_long_tail.get()}));
    }
    if (check.unmatched_kwargs.size() > 0 && !check.has_var_kwargs) {
        Ref remaining = check.unmatched_kwargs.as_list();
        if (!remaining) return {};
        return complain(st, st->m_unexpected.get(), remaining.get());
    }
    return none();
}

// ---- _get_signature ----------------------------------------------------------

constexpr const char* kSignatureDoc =
    "CallableBase._get_signature(cls, func)\n"
    "获取给定函数的签名信息，并使用LRU缓存机制优化性能。\n"
    "\n"
    "该方法是一个类方法，用于获取传入函数的签名信息。通过使用`lru_cache`装饰器，\n"
    "对最近使用的函数签名进行缓存，以提高重复调用时的性能。\n"
    "\n"
    "参数:\n"
    "- cls: 类对象，表示当前类。\n"
    "- func: 需要获取签名的函数对象。\n"
    "\n"
    "返回值:\n"
    "- 返回`func`函数的签名对象，类型为`inspect.Signature`。\n"
    "\n"
    "注意:\n"
    "- `follow_wrapped=False`参数表示在获取签名时不会跟随装饰器链，直接返回原始函数的签名。";

Ref get_signature(Function* self, PyObject* const* a) {
    State* st = state(self);
    Ref signature = lookup_global(self, st->n_signature.get());
    if (!signature) return {};
    PyObject* argv[] = {nullptr, a[1], Py_False};
    return steal(PyObject_Vectorcall(signature.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     st->kw_follow_wrapped.get()));
}

// ---- _callable_coroutine -----------------------------------------------------

constexpr const char* kCoroutineText = "期望检查函数是否是协程函数";
constexpr const char* kCoroutineDoc =
    "CallableBase._callable_coroutine(cls, obj, except_result='valkin_except_result')\n"
    "检查给定的对象是否是一个可调用的协程函数。\n"
    "\n"
    "该方法首先会处理部分应用函数（partial function），直到找到原始函数，\n"
    "然后检查该原始函数是否是一个协程函数。\n"
    "\n"
    "参数:\n"
    "- obj: 要检查的对象，可以是函数、部分应用函数等。\n"
    "- except_result: 如果检查过程中发生异常，返回的默认值。默认为None。\n"
    "\n"
    "返回值:\n"
    "- bool: 如果obj是一个协程函数，返回True；否则返回False。";

// asyncio.iscoroutinefunction(func) for a plain function, when the library
// code is as it was at import: the function's code flags decide, unless one
// of the attributes the library probes for is present (then -2: ask the
// library itself). -1 on error.
int plain_function_is_coroutine(State* st, PyObject* func) {
    // functools._unwrap_partialmethod looks for __partialmethod__ first.
    PyObject* probe = nullptr;
    if (PyObject_GetOptionalAttr(func, st->n_partialmethod_attr.get(), &probe) < 0) return -1;
    if (probe) {
        Py_DECREF(probe);
        return -2;
    }
    PyObject* code = PyFunction_GET_CODE(func);
    if (reinterpret_cast<PyCodeObject*>(code)->co_flags & st->coroutine_flag) return 1;
    // inspect's coroutine marker, then asyncio's.
    for (PyObject* name : {st->n_coroutine_marker.get(), st->n_is_coroutine.get()}) {
        if (PyObject_GetOptionalAttr(func, name, &probe) < 0) return -1;
        if (probe) {
            Py_DECREF(probe);
            return -2;
        }
    }
    return 0;
}

// Whether the library code behind `iscoroutinefunction` is as it was at import; -1 on error.
int coroutine_is_native(State* st) {
    if (!refresh(st)) return -1;
    return st->fast_coroutine && Py_IS_TYPE(st->inspect.get(), &PyModule_Type) &&
           codes_hold(st->coroutine_codes.get()) && codes_hold(st->inspect_codes.get());
}

Ref callable_coroutine(Function* self, PyObject* const* a) {
    State* st = state(self);
    Ref obj = borrow(a[1]);
    for (;;) {
        Ref partial = lookup_global(self, st->n_partial.get());
        if (!partial) return {};
        int is = isinstance_of(obj.get(), partial.get());
        if (is < 0) return {};
        if (!is) break;
        obj = getattr(obj.get(), st->n_func.get());
        if (!obj) return {};
    }
    if (Py_IS_TYPE(obj.get(), &PyFunction_Type)) {
        int native = coroutine_is_native(st);
        if (native < 0) return {};
        if (native) {
            int verdict = plain_function_is_coroutine(st, obj.get());
            if (verdict == -1) return {};
            if (verdict >= 0) return boolean(verdict);
        }
    }
    Ref test = lookup_global(self, st->n_iscoroutinefunction.get());
    if (!test) return {};
    return call(test.get(), obj.get());
}

// ---- the module --------------------------------------------------------------

bool init_texts(State* st) {
    struct Text {
        Ref& slot;
        const char* text;
    } names[] = {
        {st->n_inspect, "inspect"},
        {st->n_ismethod, "ismethod"},
        {st->n_isclass, "isclass"},
        {st->n_isfunction, "isfunction"},
        {st->n_isbuiltin, "isbuiltin"},
        {st->n_partial, "partial"},
        {st->n_iscoroutinefunction, "iscoroutinefunction"},
        {st->n_signature, "signature"},
        {st->n_callable_name, "_callable_name"},
        {st->n_callable_obj, "_callable_obj"},
        {st->n_get_signature, "_get_signature"},
        {st->n_self, "__self__"},
        {st->n_name, "__name__"},
        {st->n_qualname, "__qualname__"},
        {st->n_module, "__module__"},
        {st->n_call, "__call__"},
        {st->n_func, "func"},
        {st->n_split, "split"},
        {st->n_parameters, "parameters"},
        {st->n_values, "values"},
        {st->n_kind, "kind"},
        {st->n_param_name, "name"},
        {st->n_default, "default"},
        {st->n_empty, "empty"},
        {st->n_kinds[PositionalOrKeyword], "POSITIONAL_OR_KEYWORD"},
        {st->n_kinds[PositionalOnly], "POSITIONAL_ONLY"},
        {st->n_kinds[KeywordOnly], "KEYWORD_ONLY"},
        {st->n_kinds[VarPositional], "VAR_POSITIONAL"},
        {st->n_kinds[VarKeyword], "VAR_KEYWORD"},
        {st->n_partialmethod_attr, "__partialmethod__"},
        {st->n_coroutine_marker, "_is_coroutine_marker"},
        {st->n_is_coroutine, "_is_coroutine"},
        {st->s_empty, ""},
        {st->s_dot, "."},
        {st->s_colon, ":"},
        {st->s_comma, ", "},
        {st->s_lambda, "<lambda>"},
        {st->s_locals, "<locals>"},
    };
    for (Text& n : names) {
        if (!(n.slot = interned(n.text))) return false;
    }
    Text messages[] = {
        {st->m_name_head, "无法确定 "},
        {st->m_name_tail, " 的名称，可能它不是可调用对象？"},
        {st->m_partial, "无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。"},
        {st->m_lambda, "无法创建 lambda 的引用，因为 lambda 函数无法被唯一标识。"},
        {st->m_locals, "无法创建嵌套函数的引用，因为嵌套函数无法被唯一标识。"},
        {st->m_not_str, "引用必须是字符串，请检查输入类型。"},
        {st->m_no_colon, "无效的引用，引用格式应为 'module:name'。"},
        {st->m_resolve_head, "解析引用 "},
        {st->m_import_mid, " 时出错：无法导入模块 "},
        {st->m_import_tail, "。"},
        {st->m_lookup_mid, " 时出错：查找对象 "},
        {st->m_lookup_tail, " 时出错。"},
        {st->m_no_signature, "无法获取函数的签名，请检查函数是否有效。"},
        {st->m_conflicts, "以下参数同时在 args 和 kwargs 中提供："},
        {st->m_positional_only, "以下参数不能作为关键字参数提供："},
        {st->m_unsatisfied, "以下参数未提供："},
        {st->m_unsatisfied_kw, "以下仅关键字参数未在 kwargs 中提供："},
        {st->m_too_long_head, "位置参数列表比目标可调用对象能处理的更长 (允许："},
        {st->m_too_long_mid, ", 提供的 args："},
        {st->m_too_long_tail, ")"},
        {st->m_unexpected, "目标可调用对象不接受以下关键字参数："},
    };
    for (Text& m : messages) {
        if (!(m.slot = str(m.text))) return false;
    }
    st->s_one = steal(PyLong_FromLong(1));
    st->kw_follow_wrapped = steal(Py_BuildValue("(s)", "follow_wrapped"));
    st->kw_fromlist = steal(Py_BuildValue("(s)", "fromlist"));
    st->absent = steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return st->s_one && st->kw_follow_wrapped && st->kw_fromlist && st->absent;
}

// Records what a shortcut relies on. Each `need` adds the current value of
// `namespace[key]` (or its absence) to the snapshot, optionally demanding
// that it be `expected` or absent now; each `code` pins a function's code.
// `ok` turns false for good when something is not as the shortcut assumes.
class Snapshot {
public:
    explicit Snapshot(State* st) : st_(st), names_(steal(PyList_New(0))), codes_(steal(PyList_New(0))) {
        if (!names_ || !codes_) failed_ = true;
    }

    // The module object of `namespace[key]`, which must be a plain module.
    PyObject* module(PyObject* ns, const char* key) {
        Ref value = need(ns, key);
        if (value && !Py_IS_TYPE(value.get(), &PyModule_Type)) ok_ = false;
        return value ? PyModule_GetDict(value.get()) : nullptr;
    }
    // A function of `ns`, pinned to its current code.
    Ref function(PyObject* ns, const char* key) {
        Ref value = need(ns, key);
        if (value && PyFunction_Check(value.get())) {
            add(codes_, value.get()), add(codes_, PyFunction_GET_CODE(value.get()));
        } else if (!failed_) {
            ok_ = false;
        }
        return value;
    }
    // `ns[key]`, which must be `expected` (nullptr: which must be absent).
    void is(PyObject* ns, const char* key, PyObject* expected) {
        Ref value = need(ns, key, true);
        if (!failed_ && value.get() != expected) ok_ = false;
    }
    Ref need(PyObject* ns, const char* key, bool may_lack = false) {
        if (failed_ || !ns) {
            ok_ = false;
            return {};
        }
        Ref name = interned(key);
        PyObject* value = nullptr;
        if (!name || PyDict_GetItemRef(ns, name.get(), &value) < 0) {
            failed_ = true;
            return {};
        }
        Ref held = steal(value);
        if (!held && !may_lack) ok_ = false;
        add(names_, ns), add(names_, name.get()), add(names_, held ? held.get() : st_->absent.get());
        if (g_watcher >= 0 && PyDict_Watch(g_watcher, ns) < 0) failed_ = true;
        return held;
    }
    // Stores the snapshot; false only on a Python error.
    bool store(Ref& names, Ref& codes) {
        if (failed_) return false;
        if (!ok_) return true;  // the shortcut stays off; the general path serves
        names = steal(PyList_AsTuple(names_.get()));
        codes = steal(PyList_AsTuple(codes_.get()));
        return names && codes;
    }

private:
    void add(Ref& list, PyObject* item) {
        if (!failed_ && PyList_Append(list.get(), item) < 0) failed_ = true;
    }
    State* st_;
    Ref names_, codes_;
    bool ok_ = true;
    bool failed_ = false;
};

// The builtin functions the library code calls are the interpreter's own.
bool is_builtin_named(PyObject* obj, PyObject* builtins_module, const char* name) {
    return obj && PyCFunction_Check(obj) && PyCFunction_GET_SELF(obj) == builtins_module &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name, name) == 0;
}

bool snapshot_library(PyObject* m, State* st, PyObject* builtins_module) {
    PyObject* own = PyModule_GetDict(m);
    PyObject* builtins = PyModule_GetDict(builtins_module);
    Ref isinstance_fn = getattr(builtins_module, "isinstance");
    Ref getattr_fn = getattr(builtins_module, "getattr");
    if (!isinstance_fn || !getattr_fn) return false;
    bool builtins_ok = is_builtin_named(isinstance_fn.get(), builtins_module, "isinstance") &&
                       is_builtin_named(getattr_fn.get(), builtins_module, "getattr");

    // inspect.ismethod/isclass/isfunction/isbuiltin: isinstance with types.*.
    {
        Snapshot snap(st);
        if (!builtins_ok) snap.is(builtins, "isinstance", nullptr);  // never true: keeps it off
        snap.is(builtins, "isinstance", isinstance_fn.get());
        snap.is(builtins, "type", reinterpret_cast<PyObject*>(&PyType_Type));
        PyObject* inspect_ns = snap.module(own, "inspect");
        snap.is(own, "inspect", st->inspect.get());
        for (const char* name : {"ismethod", "isclass", "isfunction", "isbuiltin"}) snap.function(inspect_ns, name);
        snap.is(inspect_ns, "isinstance", nullptr);
        snap.is(inspect_ns, "type", nullptr);
        PyObject* types_ns = snap.module(inspect_ns, "types");
        snap.is(types_ns, "MethodType", reinterpret_cast<PyObject*>(&PyMethod_Type));
        snap.is(types_ns, "FunctionType", reinterpret_cast<PyObject*>(&PyFunction_Type));
        snap.is(types_ns, "BuiltinFunctionType", reinterpret_cast<PyObject*>(&PyCFunction_Type));
        if (!snap.store(st->inspect_names, st->inspect_codes)) return false;
    }
    // asyncio.iscoroutinefunction -> inspect.iscoroutinefunction -> functools.
    {
        Snapshot snap(st);
        if (!builtins_ok) snap.is(builtins, "isinstance", nullptr);
        snap.is(builtins, "isinstance", isinstance_fn.get());
        snap.is(builtins, "getattr", getattr_fn.get());
        snap.is(builtins, "bool", reinterpret_cast<PyObject*>(&PyBool_Type));
        snap.is(own, "partial", st->partial.get());
        Ref outer = snap.function(own, "iscoroutinefunction");
        PyObject* asyncio_ns = outer && PyFunction_Check(outer.get()) ? PyFunction_GET_GLOBALS(outer.get()) : nullptr;
        PyObject* inspect_ns = snap.module(asyncio_ns, "inspect");
        snap.is(asyncio_ns, "inspect", st->inspect.get());
        snap.need(asyncio_ns, "_is_coroutine");
        PyObject* functools_ns = snap.module(inspect_ns, "functools");
        for (const char* name : {"iscoroutinefunction", "_has_code_flag", "_has_coroutine_mark", "ismethod", "isfunction"}) {
            snap.function(inspect_ns, name);
        }
        Ref flag = snap.need(inspect_ns, "CO_COROUTINE");
        snap.need(inspect_ns, "_is_coroutine_mark");
        for (const char* name : {"_unwrap_partialmethod", "_unwrap_partial"}) snap.function(functools_ns, name);
        snap.is(functools_ns, "partial", st->partial.get());
        Ref partialmethod = snap.need(functools_ns, "partialmethod");
        for (PyObject* ns : {asyncio_ns, inspect_ns, functools_ns}) {
            for (const char* name : {"isinstance", "getattr", "bool"}) snap.is(ns, name, nullptr);
        }
        if (!partialmethod || !Py_IS_TYPE(partialmethod.get(), &PyType_Type) ||
            !Py_IS_TYPE(st->partial.get(), &PyType_Type) || !flag || !PyLong_CheckExact(flag.get())) {
            snap.is(builtins, "isinstance", nullptr);  // not as expected: keep the shortcut off
        } else {
            st->coroutine_flag = PyLong_AsLong(flag.get());
            if (st->coroutine_flag == -1 && PyErr_Occurred()) return false;
        }
        if (!snap.store(st->coroutine_names, st->coroutine_codes)) return false;
    }
    st->watching = g_watcher >= 0;
    st->generation = 0;  // work the flags out on first use
    return true;
}

int exec(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!init_texts(st)) return -1;
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_namespace_change);
        if (g_watcher < 0) PyErr_Clear();  // no watcher left: re-check on every call instead
    }

    // import inspect
    st->inspect = import_module("inspect");
    if (!bind(m, "inspect", st->inspect)) return -1;
    st->signature_type = getattr(st->inspect.get(), "Signature");
    st->parameter_type = getattr(st->inspect.get(), "Parameter");
    if (!st->signature_type || !st->parameter_type) return -1;
    if (!PyType_Check(st->signature_type.get()) || !PyType_Check(st->parameter_type.get())) {
        PyErr_SetString(PyExc_ImportError, "inspect.Signature and inspect.Parameter must be classes");
        return -1;
    }
    // from asyncio import iscoroutinefunction
    if (!bind(m, "iscoroutinefunction", import_from("asyncio", "iscoroutinefunction"))) return -1;
    // from functools import partial, lru_cache
    st->partial = import_from("functools", "partial");
    if (!bind(m, "partial", st->partial)) return -1;
    Ref lru_cache = import_from("functools", "lru_cache");
    if (!bind(m, "lru_cache", lru_cache)) return -1;
    // from inspect import signature
    if (!bind(m, "signature", import_from("inspect", "signature"))) return -1;
    // from .guardrail import _valkin_except
    Ref guard = import_relative(m, "guardrail", "_valkin_except");
    if (!bind(m, "_valkin_except", guard)) return -1;
    // The builtin __import__ as it is now.
    Ref builtins = steal(PyImport_ImportModule("builtins"));
    if (!builtins || !(st->import_func = getattr(builtins.get(), "__import__"))) return -1;
    st->builtin_import = is_builtin_named(st->import_func.get(), builtins.get(), "__import__");
    if (!snapshot_library(m, st, builtins.get())) return -1;

    // _get_signature = classmethod(lru_cache(maxsize=128)(function))
    Ref signature_function = make_function(m, {"_get_signature", "CallableBase._get_signature", kSignatureDoc},
                                           {{"cls"}, {"func"}}, get_signature);
    if (!signature_function) return -1;
    Ref maxsize = steal(PyLong_FromLong(128));
    Ref options = steal(PyDict_New());
    if (!maxsize || !options || PyDict_SetItemString(options.get(), "maxsize", maxsize.get()) < 0) return -1;
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args) return -1;
    Ref cache = steal(PyObject_Call(lru_cache.get(), no_args.get(), options.get()));
    if (!cache) return -1;
    Ref cached = call(cache.get(), signature_function.get());
    if (!cached) return -1;

    st->name_function = make_function(m, {"_callable_name", "CallableBase._callable_name", kNameDoc},
                                      {{"cls"}, {"obj"}, except_result_param}, callable_name);
    Ref name_wrapper = apply_guard(guard.get(), kNameText, st->name_function);
    if (!name_wrapper) return -1;
    st->name_method = steal(PyClassMethod_New(name_wrapper.get()));
    if (!st->name_method) return -1;

    ClassBuilder cls(m, "CallableBase");
    cls.add("_callable_name", st->name_method)
        .guarded(guard.get(), kRefText, {"_callable_ref", "CallableBase._callable_ref", kRefDoc},
                 {{"cls"}, {"obj"}, except_result_param}, callable_ref)
        .guarded(guard.get(), kObjText, {"_callable_obj", "CallableBase._callable_obj", kObjDoc},
                 {{"cls"}, {"ref"}, except_result_param}, callable_obj)
        .guarded(guard.get(), kConvertText,
                 {"_callable_convert_obj", "CallableBase._callable_convert_obj", kConvertDoc},
                 {{"cls"}, {"obj"}, except_result_param}, callable_convert_obj)
        .guarded(guard.get(), kCheckText, {"_callable_check_args", "CallableBase._callable_check_args", kCheckDoc},
                 {{"cls"}, {"func"}, {"args"}, {"kwargs"}, except_result_param}, callable_check_args)
        .add("_get_signature", steal(PyClassMethod_New(cached.get())))
        .guarded(guard.get(), kCoroutineText,
                 {"_callable_coroutine", "CallableBase._callable_coroutine", kCoroutineDoc},
                 {{"cls"}, {"obj"}, except_result_param}, callable_coroutine);
    return cls.bind_in_module() ? 0 : -1;
}

}  // namespace

VALKIN_MODULE(invoker, State, exec)
