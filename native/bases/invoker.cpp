// CallableBase: display names, "module:name" references, signatures with an
// argument check, and coroutine detection.
//
// Namespace, in order: inspect, iscoroutinefunction, partial, lru_cache,
// signature, _valkin_except, CallableBase.
//
// The module-level names are looked up at every call. Where the object found
// is the one captured at import, the few `inspect` predicates used here are
// answered natively (each is a single isinstance test); anything else found
// under those names is called as it is.
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

using namespace valkin;

namespace {

struct State {
    // Captured at import, for the identity tests of the fast paths.
    Ref inspect, ismethod, isclass, isfunction, isbuiltin;
    Ref signature_type, parameter_type;
    Ref import_func;  // the builtin __import__, fetched once
    // id(Signature) -> (Signature, names, codes): parameter facts read once
    // per Signature object (Signature and Parameter objects are immutable).
    Ref memo;
    // Names looked up at each call.
    Ref n_inspect, n_ismethod, n_isclass, n_isfunction, n_isbuiltin, n_partial, n_iscoroutinefunction, n_signature;
    Ref n_callable_name, n_callable_obj, n_get_signature;
    Ref n_self, n_name, n_qualname, n_module, n_call, n_func, n_split, n_parameters, n_values;
    Ref n_kind, n_param_name, n_default, n_empty;
    Ref n_kinds[5];  // POSITIONAL_OR_KEYWORD, POSITIONAL_ONLY, KEYWORD_ONLY, VAR_POSITIONAL, VAR_KEYWORD
    // Texts.
    Ref s_empty, s_dot, s_colon, s_comma, s_lambda, s_locals, s_one;
    Ref kw_follow_wrapped, kw_fromlist;  // keyword-name tuples
    template <class F>
    void each(F&& f) {
        f(inspect), f(ismethod), f(isclass), f(isfunction), f(isbuiltin);
        f(signature_type), f(parameter_type), f(import_func), f(memo);
        f(n_inspect), f(n_ismethod), f(n_isclass), f(n_isfunction), f(n_isbuiltin), f(n_partial);
        f(n_iscoroutinefunction), f(n_signature);
        f(n_callable_name), f(n_callable_obj), f(n_get_signature);
        f(n_self), f(n_name), f(n_qualname), f(n_module), f(n_call), f(n_func), f(n_split), f(n_parameters);
        f(n_values), f(n_kind), f(n_param_name), f(n_default), f(n_empty);
        for (Ref& k : n_kinds) f(k);
        f(s_empty), f(s_dot), f(s_colon), f(s_comma), f(s_lambda), f(s_locals), f(s_one);
        f(kw_follow_wrapped), f(kw_fromlist);
    }
};

State* state(Function* self) { return state_of<State>(self); }

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

// True when the pending exception is an `Exception` (what `except Exception` catches).
bool catchable() { return PyErr_ExceptionMatches(PyExc_Exception); }

// `a + b`, with the interpreter's dispatch (str subclasses may reflect it).
Ref add(PyObject* a, PyObject* b) { return steal(PyNumber_Add(a, b)); }

// `a + b + c + ...`, left to right.
Ref add_all(std::initializer_list<PyObject*> parts) {
    Ref acc = borrow(*parts.begin());
    for (auto it = parts.begin() + 1; it != parts.end(); ++it) {
        acc = add(acc.get(), *it);
        if (!acc) return {};
    }
    return acc;
}

// `format(x, "")`: what an f-string replacement field gives.
Ref text_of(State* st, PyObject* x) {
    if (PyUnicode_CheckExact(x)) return borrow(x);
    return steal(PyObject_Format(x, st->s_empty.get()));
}

// ---- the inspect predicates ------------------------------------------------

enum class Test { Method, Class, Function, Builtin };

// `inspect.<test>(obj)` made true or false, with `inspect` looked up now; -1 on error.
int inspect_test(Function* self, Test test, PyObject* obj) {
    State* st = state(self);
    PyObject* name = nullptr;
    PyObject* captured = nullptr;
    PyTypeObject* type = nullptr;
    switch (test) {
        case Test::Method: name = st->n_ismethod.get(), captured = st->ismethod.get(), type = &PyMethod_Type; break;
        case Test::Class: name = st->n_isclass.get(), captured = st->isclass.get(), type = &PyType_Type; break;
        case Test::Function:
            name = st->n_isfunction.get(), captured = st->isfunction.get(), type = &PyFunction_Type;
            break;
        case Test::Builtin:
            name = st->n_isbuiltin.get(), captured = st->isbuiltin.get(), type = &PyCFunction_Type;
            break;
    }
    Ref module = lookup_global(self, st->n_inspect.get());
    if (!module) return -1;
    Ref predicate;
    if (module.get() == st->inspect.get() && Py_IS_TYPE(module.get(), &PyModule_Type)) {
        // A plain module's attribute is its dict entry when the dict has one.
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(module.get()), name, &found) < 0) return -1;
        predicate = steal(found);
    }
    if (!predicate) predicate = getattr(module.get(), name);
    if (!predicate) return -1;
    if (predicate.get() == captured) {
        return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type));
    }
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
        Ref owner = getattr(obj, st->n_self.get());
        if (!owner) return {};
        int owner_is_class = inspect_test(self, Test::Class, owner.get());
        if (owner_is_class < 0) return {};
        if (!owner_is_class) owner = borrow(reinterpret_cast<PyObject*>(Py_TYPE(owner.get())));
        Ref qualname = getattr(owner.get(), st->n_qualname.get());
        if (!qualname) return {};
        Ref owner_text = text_of(st, qualname.get());
        if (!owner_text) return {};
        Ref name = getattr(obj, st->n_name.get());
        if (!name) return {};
        Ref name_text = text_of(st, name.get());
        if (!name_text) return {};
        return add_all({owner_text.get(), st->s_dot.get(), name_text.get()});
    }
    for (Test test : {Test::Class, Test::Function, Test::Builtin}) {
        is = inspect_test(self, test, obj);
        if (is < 0) return {};
        if (is) return getattr(obj, st->n_qualname.get());
    }
    PyObject* call_attr = nullptr;
    if (PyObject_GetOptionalAttr(obj, st->n_call.get(), &call_attr) < 0) return {};
    Ref held = steal(call_attr);
    if (held && PyCallable_Check(held.get())) {
        return getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), st->n_qualname.get());
    }
    Ref shown = steal(PyObject_Repr(obj));
    if (!shown) return {};
    Ref head = str("无法确定 ");
    Ref tail = str(" 的名称，可能它不是可调用对象？");
    if (!head || !tail) return {};
    Ref message = add_all({head.get(), shown.get(), tail.get()});
    if (!message) return {};
    PyErr_SetObject(PyExc_TypeError, message.get());
    return {};
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

Ref callable_ref(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* cls = a[0];
    PyObject* obj = a[1];
    Ref partial = lookup_global(self, st->n_partial.get());
    if (!partial) return {};
    int is = PyObject_IsInstance(obj, partial.get());
    if (is < 0) return {};
    if (is) return fail(PyExc_ValueError, "无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。");
    Ref name = call_method(cls, st->n_callable_name.get(), obj);
    if (!name) return {};
    is = PySequence_Contains(name.get(), st->s_lambda.get());
    if (is < 0) return {};
    if (is) return fail(PyExc_ValueError, "无法创建 lambda 的引用，因为 lambda 函数无法被唯一标识。");
    is = PySequence_Contains(name.get(), st->s_locals.get());
    if (is < 0) return {};
    if (is) return fail(PyExc_ValueError, "无法创建嵌套函数的引用，因为嵌套函数无法被唯一标识。");
    is = inspect_test(self, Test::Method, obj);
    if (is < 0) return {};
    Ref module;
    if (is) {
        Ref owner = getattr(obj, st->n_self.get());
        if (!owner) return {};
        module = getattr(owner.get(), st->n_module.get());
    } else {
        module = getattr(obj, st->n_module.get());
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

// Replaces the pending exception `exc` (already fetched) by
// LookupError("解析引用 " + ref + middle + detail + tail), raised from it.
Ref lookup_failed(PyObject* exc, PyObject* ref, const char* middle, PyObject* detail, const char* tail) {
    Handling handling(exc);
    Ref head = str("解析引用 ");
    Ref mid = str(middle);
    Ref stop = str(tail);
    if (!head || !mid || !stop) return {};
    Ref message = add_all({head.get(), ref, mid.get(), detail, stop.get()});
    if (!message) return {};
    Ref error = call(PyExc_LookupError, message.get());
    if (!error) return {};
    PyException_SetCause(error.get(), Py_NewRef(exc));  // also suppresses the context, as `from` does
    PyErr_SetObject(PyExc_LookupError, error.get());  // the context becomes `exc`
    return {};
}

Ref callable_obj(Function* self, PyObject* const* a) {
    State* st = state(self);
    PyObject* ref = a[1];
    if (!PyUnicode_Check(ref)) return fail(PyExc_TypeError, "引用必须是字符串，请检查输入类型。");
    int has_colon = PySequence_Contains(ref, st->s_colon.get());
    if (has_colon < 0) return {};
    if (!has_colon) return fail(PyExc_ValueError, "无效的引用，引用格式应为 'module:name'。");
    Ref parts = split(st, ref, st->s_colon.get(), true);
    if (!parts) return {};
    Ref modulename, rest;
    if (!unpack_two(parts.get(), modulename, rest)) return {};

    Ref fromlist = steal(PyList_New(1));
    if (!fromlist) return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(rest.get()));
    PyObject* argv[] = {nullptr, modulename.get(), fromlist.get()};
    Ref obj = steal(PyObject_Vectorcall(st->import_func.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        st->kw_fromlist.get()));
    if (!obj) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return {};
        Ref exc = steal(PyErr_GetRaisedException());
        return lookup_failed(exc.get(), ref, " 时出错：无法导入模块 ", modulename.get(), "。");
    }

    // Walk the attributes; any failure on the way is reported for the whole name.
    Ref walked = [&]() -> Ref {
        Ref names = split(st, rest.get(), st->s_dot.get(), false);
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
    }();
    if (walked) return walked;
    if (!catchable()) return {};
    Ref exc = steal(PyErr_GetRaisedException());
    return lookup_failed(exc.get(), ref, " 时出错：查找对象 ", rest.get(), " 时出错。");
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

// The working lists of one check. The complaint lists are made when first
// appended to; `unmatched_args` only matters by its length.
struct Check {
    Ref conflicts, positional_only_kwargs, unsatisfied_args, unsatisfied_kwargs;
    Py_ssize_t unmatched_args = 0;
    Ref unmatched_kwargs;  // list, or empty when no keywords were given
    bool has_varargs = false;
    bool has_var_kwargs = false;

    static bool append(Ref& list, PyObject* name) {
        if (!list && !(list = steal(PyList_New(0)))) return false;
        return PyList_Append(list.get(), name) == 0;
    }

    // Index of the first unmatched keyword equal to `name`, -1 if none, -2 on error.
    Py_ssize_t find_keyword(PyObject* name) {
        if (!unmatched_kwargs) return -1;
        PyObject* list = unmatched_kwargs.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref item = borrow(PyList_GET_ITEM(list, i));
            int equal = PyObject_RichCompareBool(item.get(), name, Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
        return -1;
    }

    bool take_keyword(Py_ssize_t index) { return PySequence_DelItem(unmatched_kwargs.get(), index) == 0; }

    // Matches one parameter against what is still unmatched.
    bool match(ParamView& p) {
        switch (p.kind) {
            case PositionalOrKeyword: {
                PyObject* name = p.get_name();
                if (!name) return false;
                Py_ssize_t at = find_keyword(name);
                if (at == -2) return false;
                if (at >= 0 && unmatched_args) return append(conflicts, name);
                if (unmatched_args) {
                    --unmatched_args;
                    return true;
                }
                if (at >= 0) return take_keyword(at);
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
                Py_ssize_t at = find_keyword(name);
                if (at == -2) return false;
                if (at >= 0) return take_keyword(at) && append(positional_only_kwargs, name);
                int no_default = p.get_no_default();
                if (no_default < 0) return false;
                return !no_default || append(unsatisfied_args, name);
            }
            case KeywordOnly: {
                PyObject* name = p.get_name();
                if (!name) return false;
                Py_ssize_t at = find_keyword(name);
                if (at == -2) return false;
                if (at >= 0) return take_keyword(at);
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
// or read now and remembered. Empty with no error set when `sig` does not
// qualify (another type, or parameters that are not inspect.Parameter).
Ref signature_facts(State* st, PyObject* sig) {
    if (!Py_IS_TYPE(sig, reinterpret_cast<PyTypeObject*>(st->signature_type.get()))) return {};
    Ref key = steal(PyLong_FromVoidPtr(sig));
    if (!key) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(st->memo.get(), key.get(), &found) < 0) return {};
    Ref entry = steal(found);
    if (entry && PyTuple_GET_ITEM(entry.get(), 0) == sig) return entry;

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
        int no_default = lacks_default(st, param);
        if (no_default < 0) return {};
        code[i] = static_cast<char>(kind | (no_default ? 0 : kHasDefault));
        PyTuple_SET_ITEM(names.get(), i, name.release());
    }
    entry = steal(PyTuple_Pack(3, sig, names.get(), codes.get()));
    if (!entry) return {};
    // Bounded: the signature cache holds 128 entries, so this rarely fills.
    if (PyDict_GET_SIZE(st->memo.get()) >= 512) PyDict_Clear(st->memo.get());
    if (PyDict_SetItem(st->memo.get(), key.get(), entry.get()) < 0) return {};
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

// ValueError(prefix + ", ".join(names)).
Ref complain(State* st, const char* prefix, PyObject* names) {
    Ref joined = steal(PyUnicode_Join(st->s_comma.get(), names));
    if (!joined) return {};
    Ref head = str(prefix);
    if (!head) return {};
    Ref message = add(head.get(), joined.get());
    if (!message) return {};
    PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
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
    if (PyDict_CheckExact(kwargs)) {
        if (PyDict_GET_SIZE(kwargs) > 0 && !(check.unmatched_kwargs = steal(PyDict_Keys(kwargs)))) return {};
    } else if (!(check.unmatched_kwargs = steal(PySequence_List(kwargs)))) {
        return {};
    }

    Ref sig = call_method(cls, st->n_get_signature.get(), func);
    if (!sig) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return {};
        Ref err = steal(PyErr_GetRaisedException());
        Handling handling(err.get());
        return fail(PyExc_ValueError, "无法获取函数的签名，请检查函数是否有效。");
    }
    if (!match_parameters(st, sig.get(), check)) return {};

    if (check.conflicts) return complain(st, "以下参数同时在 args 和 kwargs 中提供：", check.conflicts.get());
    if (check.positional_only_kwargs) {
        return complain(st, "以下参数不能作为关键字参数提供：", check.positional_only_kwargs.get());
    }
    if (check.unsatisfied_args) return complain(st, "以下参数未提供：", check.unsatisfied_args.get());
    if (check.unsatisfied_kwargs) {
        return complain(st, "以下仅关键字参数未在 kwargs 中提供：", check.unsatisfied_kwargs.get());
    }
    if (check.unmatched_args && !check.has_varargs) {
        Py_ssize_t given = PyObject_Size(args);
        if (given < 0) return {};
        Py_ssize_t given_again = PyObject_Size(args);
        if (given_again < 0) return {};
        Ref head = str("位置参数列表比目标可调用对象能处理的更长 (允许：");
        Ref middle = str(", 提供的 args：");
        Ref close = str(")");
        Ref matched = steal(PyUnicode_FromFormat("%zd", given - check.unmatched_args));
        Ref provided = steal(PyUnicode_FromFormat("%zd", given_again));
        if (!head || !middle || !close || !matched || !provided) return {};
        Ref message = add_all({head.get(), matched.get(), middle.get(), provided.get(), close.get()});
        if (!message) return {};
        PyErr_SetObject(PyExc_ValueError, message.get());
        return {};
    }
    if (check.unmatched_kwargs && PyList_GET_SIZE(check.unmatched_kwargs.get()) > 0 && !check.has_var_kwargs) {
        return complain(st, "目标可调用对象不接受以下关键字参数：", check.unmatched_kwargs.get());
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

Ref callable_coroutine(Function* self, PyObject* const* a) {
    State* st = state(self);
    Ref obj = borrow(a[1]);
    for (;;) {
        Ref partial = lookup_global(self, st->n_partial.get());
        if (!partial) return {};
        int is = PyObject_IsInstance(obj.get(), partial.get());
        if (is < 0) return {};
        if (!is) break;
        obj = getattr(obj.get(), st->n_func.get());
        if (!obj) return {};
    }
    Ref test = lookup_global(self, st->n_iscoroutinefunction.get());
    if (!test) return {};
    return call(test.get(), obj.get());
}

// ---- the module --------------------------------------------------------------

bool init_state(State* st) {
    struct Name {
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
        {st->s_empty, ""},
        {st->s_dot, "."},
        {st->s_colon, ":"},
        {st->s_comma, ", "},
        {st->s_lambda, "<lambda>"},
        {st->s_locals, "<locals>"},
    };
    for (Name& n : names) {
        if (!(n.slot = interned(n.text))) return false;
    }
    st->s_one = steal(PyLong_FromLong(1));
    st->kw_follow_wrapped = steal(Py_BuildValue("(s)", "follow_wrapped"));
    st->kw_fromlist = steal(Py_BuildValue("(s)", "fromlist"));
    st->memo = steal(PyDict_New());
    return st->s_one && st->kw_follow_wrapped && st->kw_fromlist && st->memo;
}

int exec(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!init_state(st)) return -1;

    // import inspect
    st->inspect = import_module("inspect");
    if (!bind(m, "inspect", st->inspect)) return -1;
    for (auto [slot, name] : {std::pair<Ref*, const char*>{&st->ismethod, "ismethod"},
                              {&st->isclass, "isclass"},
                              {&st->isfunction, "isfunction"},
                              {&st->isbuiltin, "isbuiltin"},
                              {&st->signature_type, "Signature"},
                              {&st->parameter_type, "Parameter"}}) {
        if (!(*slot = getattr(st->inspect.get(), name))) return -1;
    }
    if (!PyType_Check(st->signature_type.get()) || !PyType_Check(st->parameter_type.get())) {
        PyErr_SetString(PyExc_ImportError, "inspect.Signature and inspect.Parameter must be classes");
        return -1;
    }
    // from asyncio import iscoroutinefunction
    if (!bind(m, "iscoroutinefunction", import_from("asyncio", "iscoroutinefunction"))) return -1;
    // from functools import partial, lru_cache
    if (!bind(m, "partial", import_from("functools", "partial"))) return -1;
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

    ClassBuilder cls(m, "CallableBase");
    cls.guarded(guard.get(), kNameText, {"_callable_name", "CallableBase._callable_name", kNameDoc},
                {{"cls"}, {"obj"}, except_result_param}, callable_name)
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
