from .guardrail import _valkin_except


class ListBase:
    @classmethod
    @_valkin_except("期望获取 left 中存在但 right 中不存在的数据")
    def _list_diff(cls, left, right, except_result="valkin_except_result"):
        return list(set(left) - set(right))

    @classmethod
    @_valkin_except("期望获取 list 的集合")
    def _list_set(cls, left, except_result="valkin_except_result"):
        return list(set(list(left)))

    @classmethod
    @_valkin_except("期望获取两个 list 的交集")
    def _list_intersect(cls, left, right, except_result="valkin_except_result"):
        return list(set(left) & set(right))
