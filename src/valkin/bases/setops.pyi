from collections.abc import Iterable
from typing import Any

from .guardrail import _valkin_except as _valkin_except

class ListBase:
    @classmethod
    def _list_diff(cls, left: Iterable[Any], right: Iterable[Any], except_result: Any = "valkin_except_result") -> list[Any] | Any: ...
    @classmethod
    def _list_set(cls, left: Iterable[Any], except_result: Any = "valkin_except_result") -> list[Any] | Any: ...
    @classmethod
    def _list_intersect(cls, left: Iterable[Any], right: Iterable[Any], except_result: Any = "valkin_except_result") -> list[Any] | Any: ...
