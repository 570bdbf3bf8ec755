import math as math
from decimal import ROUND_HALF_UP as ROUND_HALF_UP
from decimal import Decimal as Decimal
from typing import Any

from .guardrail import _valkin_except as _valkin_except

class CommonBase:
    @classmethod
    def _to_str(cls, obj: object, except_result: Any = "valkin_except_result") -> str | Any: ...
    @classmethod
    def _to_int(
        cls,
        obj: Any,
        ceil: object = False,
        floor: object = False,
        absolute: object = False,
        except_result: Any = "valkin_except_result",
    ) -> int | Any: ...
    @classmethod
    def _to_float(cls, obj: Any, digits: int = 2, except_result: Any = "valkin_except_result") -> float | Any: ...
    @classmethod
    def _to_decimal(cls, obj: Any, digits: int = 2, except_result: Any = "valkin_except_result") -> Decimal | Any: ...
    @classmethod
    def _to_bool(cls, obj: object, except_result: Any = "valkin_except_result") -> bool | Any: ...
