// ListBase: sequences treated as sets, results as new lists.
//
// Namespace, in order: _valkin_except, ListBase.
#include "runtime/imports.h"
#include "runtime/klass.h"
#include "runtime/module.h"

using namespace valkin;

namespace {

// ---- _list_diff ------------------------------------------------------------

constexpr const char* kListDiffText = "期望获取 left 中存在但 right 中不存在的数据";
constexpr const char* kListDiffDoc =
    "ListBase._list_diff(cls, left, right, except_result='valkin_except_result')\n"
    "计算两个列表的差集，返回在 `left` 中存在但在 `right` 中不存在的元素。\n"
    "\n"
    "参数:\n"
    "- cls: 类方法，表示当前类。\n"
    "- left: 列表，作为差集的左操作数。\n"
    "- right: 列表，作为差集的右操作数。\n"
    "- except_result: 可选参数，用于在异常情况下返回的默认值。\n"
    "\n"
    "返回值:\n"
    "- 返回一个列表，包含在 `left` 中存在但在 `right` 中不存在的元素。";

Ref set_operation(PyObject* left, PyObject* right, binaryfunc op) {
    Ref a = steal(PySet_New(left));
    if (!a) return {};
    Ref b = steal(PySet_New(right));
    if (!b) return {};
    Ref result = steal(op(a.get(), b.get()));
    if (!result) return {};
    return steal(PySequence_List(result.get()));
}

Ref list_diff(Function*, PyObject* const* a) { return set_operation(a[1], a[2], PyNumber_Subtract); }

// ---- _list_set -------------------------------------------------------------

constexpr const char* kListSetText = "期望获取 list 的集合";
constexpr const char* kListSetDoc =
    "ListBase._list_set(cls, left, except_result='valkin_except_result')\n"
    "将输入的序列转换为集合，去除重复元素后，再转换回列表。\n"
    "\n"
    "参数:\n"
    "- cls: 类方法的类对象。\n"
    "- left: 输入的序列，可以是任何可迭代对象。\n"
    "- except_result: 当发生异常时返回的默认值，默认为 None。\n"
    "\n"
    "返回值:\n"
    "- 返回一个去重后的列表，包含输入序列中的唯一元素。\n"
    "\n"
    "异常处理:\n"
    "- 如果输入序列无法转换为列表，将触发 _valkin_except 装饰器中的异常处理逻辑，\n"
    "  并返回 except_result 指定的默认值。";

Ref list_set(Function*, PyObject* const* a) {
    // list, then set, then list. An exact tuple or str cannot change while it
    // is read and feeds the set in the same order either way, so the first
    // copy is skipped for them.
    PyObject* left = a[1];
    Ref items = PyTuple_CheckExact(left) || PyUnicode_CheckExact(left) ? borrow(left) : steal(PySequence_List(left));
    if (!items) return {};
    Ref distinct = steal(PySet_New(items.get()));
    if (!distinct) return {};
    return steal(PySequence_List(distinct.get()));
}

// ---- _list_intersect -------------------------------------------------------

constexpr const char* kListIntersectText = "期望获取两个 list 的交集";
constexpr const char* kListIntersectDoc =
    "ListBase._list_intersect(cls, left, right, except_result='valkin_except_result')\n"
    "计算两个列表的交集。\n"
    "\n"
    "该方法接受两个列表作为输入，并返回它们的交集。如果计算过程中发生异常，\n"
    "将返回指定的异常结果。\n"
    "\n"
    "参数:\n"
    "- left (list): 第一个列表，用于计算交集。\n"
    "- right (list): 第二个列表，用于计算交集。\n"
    "- except_result (any, optional): 当计算交集发生异常时返回的结果。默认为 None。\n"
    "\n"
    "返回值:\n"
    "- list: 两个列表的交集，如果发生异常则返回 except_result。";

Ref list_intersect(Function*, PyObject* const* a) { return set_operation(a[1], a[2], PyNumber_And); }

int exec(PyObject* m) {
    Ref guard = import_relative(m, "guardrail", "_valkin_except");
    if (!bind(m, "_valkin_except", guard)) return -1;

    ClassBuilder cls(m, "ListBase");
    cls.guarded(guard.get(), kListDiffText, {"_list_diff", "ListBase._list_diff", kListDiffDoc},
                {{"cls"}, {"left"}, {"right"}, except_result_param}, list_diff)
        .guarded(guard.get(), kListSetText, {"_list_set", "ListBase._list_set", kListSetDoc},
                 {{"cls"}, {"left"}, except_result_param}, list_set)
        .guarded(guard.get(), kListIntersectText, {"_list_intersect", "ListBase._list_intersect", kListIntersectDoc},
                 {{"cls"}, {"left"}, {"right"}, except_result_param}, list_intersect);
    return cls.bind_in_module() ? 0 : -1;
}

}  // namespace

VALKIN_MODULE(setops, NoState, exec)
