import inspect as inspect
from asyncio import iscoroutinefunction as iscoroutinefunction
from collections.abc import Callable, Iterable, Sized
from functools import _CacheInfo, lru_cache as lru_cache, partial as partial
from inspect import Signature, signature as signature
from typing import Any, ClassVar, Protocol

from .guardrail import _valkin_except as _valkin_except

class _SignatureCache(Protocol):
    """`_get_signature` as reached through the class: the cached call and its cache."""

    def __call__(self, func: Callable[..., Any], /) -> Signature: ...
    def cache_info(self) -> _CacheInfo: ...
    def cache_clear(self) -> None: ...

class CallableBase:
    @classmethod
    def _callable_name(cls, obj: object, except_result: Any = "valkin_except_result") -> str | Any: ...
    @classmethod
    def _callable_ref(cls, obj: Callable[..., Any], except_result: Any = "valkin_except_result") -> str | Any: ...
    @classmethod
    def _callable_obj(cls, ref: str, except_result: Any = "valkin_except_result") -> Any: ...
    @classmethod
    def _callable_convert_obj(cls, obj: Any, except_result: Any = "valkin_except_result") -> Any: ...
    @classmethod
    def _callable_check_args(
        cls,
        func: Callable[..., Any],
        args: Sized | Iterable[Any],
        kwargs: Iterable[str],
        except_result: Any = "valkin_except_result",
    ) -> None | Any: ...
    _get_signature: ClassVar[_SignatureCache]
    @classmethod
    def _callable_coroutine(cls, obj: object, except_result: Any = "valkin_except_result") -> bool | Any: ...
