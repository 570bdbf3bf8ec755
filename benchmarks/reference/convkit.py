import math
from decimal import Decimal, ROUND_HALF_UP

from .guardrail import _valkin_except

_TRUE_WORDS = ("true", "yes", "on", "y", "t", "1")
_FALSE_WORDS = ("false", "no", "off", "n", "f", "0")


class CommonBase:
    @classmethod
    @_valkin_except("期望将 obj 对象转换为 str 类型")
    def _to_str(cls, obj, except_result="valkin_except_result"):
        if type(obj) is str:
            return obj
        return str(obj)

    @classmethod
    @_valkin_except("期望将 obj 对象转换为 int 类型")
    def _to_int(cls, obj, ceil=False, floor=False, absolute=False, except_result="valkin_except_result"):
        if ceil:
            obj = math.ceil(obj)
        elif floor:
            obj = math.floor(obj)
        elif isinstance(obj, float) or isinstance(obj, Decimal):
            obj = cls._to_decimal(obj, 0)
        n = int(obj)
        if absolute:
            return abs(n)
        return n

    @classmethod
    @_valkin_except("期望将 obj 对象转换为 float 类型")
    def _to_float(cls, obj, digits: "int" = 2, except_result="valkin_except_result"):
        if type(digits) is not int:
            raise TypeError(f"Argument 'digits' has incorrect type (expected int, got {type(digits).__name__})")
        return float(cls._to_decimal(obj, digits))

    @classmethod
    @_valkin_except("期望将 obj 对象转换为 float 类型")
    def _to_decimal(cls, obj, digits: "int" = 2, except_result="valkin_except_result"):
        if type(digits) is not int:
            raise TypeError(f"Argument 'digits' has incorrect type (expected int, got {type(digits).__name__})")
        value = Decimal(obj)
        quantum = Decimal("1e-" + str(digits))
        return value.quantize(quantum, rounding=ROUND_HALF_UP)

    @classmethod
    @_valkin_except("期望将 obj 对象转换为 bool 类型")
    def _to_bool(cls, obj, except_result="valkin_except_result"):
        if isinstance(obj, str):
            s = obj.strip().lower()
            for word in _TRUE_WORDS:
                if s == word:
                    return True
            for word in _FALSE_WORDS:
                if s == word:
                    return False
            raise ValueError(f'无法将值 "{s}" 解释为布尔值')
        return bool(obj)
