import inspect
from asyncio import iscoroutinefunction
from functools import partial, lru_cache
from inspect import signature

from .guardrail import _valkin_except

_import = __import__


class CallableBase:
    @classmethod
    @_valkin_except("期望获取 obj 可调用对象的名称")
    def _callable_name(cls, obj, except_result="valkin_except_result"):
        if inspect.ismethod(obj):
            owner = obj.__self__
            if not inspect.isclass(owner):
                owner = type(owner)
            return f"{owner.__qualname__}.{obj.__name__}"
        if inspect.isclass(obj) or inspect.isfunction(obj) or inspect.isbuiltin(obj):
            return obj.__qualname__
        call = getattr(obj, "__call__", None)
        if call is not None and callable(call):
            return type(obj).__qualname__
        raise TypeError("无法确定 " + repr(obj) + " 的名称，可能它不是可调用对象？")

    @classmethod
    @_valkin_except("期望将 obj 对象转换为引用字符串")
    def _callable_ref(cls, obj, except_result="valkin_except_result"):
        if isinstance(obj, partial):
            raise ValueError("无法创建 partial() 的引用，因为 partial 对象无法被唯一标识。")
        name = cls._callable_name(obj)
        if "<lambda>" in name:
            raise ValueError("无法创建 lambda 的引用，因为 lambda 函数无法被唯一标识。")
        if "<locals>" in name:
            raise ValueError("无法创建嵌套函数的引用，因为嵌套函数无法被唯一标识。")
        module = obj.__self__.__module__ if inspect.ismethod(obj) else obj.__module__
        return f"{module}:{name}"

    @classmethod
    @_valkin_except("期望将引用字符串转换回对象")
    def _callable_obj(cls, ref, except_result="valkin_except_result"):
        if not isinstance(ref, str):
            raise TypeError("引用必须是字符串，请检查输入类型。")
        if ":" not in ref:
            raise ValueError("无效的引用，引用格式应为 'module:name'。")
        modulename, rest = ref.split(":", 1)
        try:
            obj = _import(modulename, fromlist=[rest])
        except ImportError as exc:
            raise LookupError("解析引用 " + ref + " 时出错：无法导入模块 " + modulename + "。") from exc
        try:
            for part in rest.split("."):
                obj = getattr(obj, part)
        except Exception as exc:
            raise LookupError("解析引用 " + ref + " 时出错：查找对象 " + rest + " 时出错。") from exc
        return obj

    @classmethod
    @_valkin_except("期望将引用字符串/对象统一转换回对象")
    def _callable_convert_obj(cls, obj, except_result="valkin_except_result"):
        if isinstance(obj, str):
            return cls._callable_obj(obj)
        return obj

    @classmethod
    @_valkin_except("期望将引用字符串转换回对象")
    def _callable_check_args(cls, func, args, kwargs, except_result="valkin_except_result"):
        pos_kwargs_conflicts = []
        positional_only_kwargs = []
        unsatisfied_args = []
        unsatisfied_kwargs = []
        unmatched_args = list(args)
        unmatched_kwargs = list(kwargs)
        has_varargs = False
        has_var_kwargs = False
        try:
            sig = cls._get_signature(func)
        except ValueError:
            raise ValueError("无法获取函数的签名，请检查函数是否有效。")
        for param in sig.parameters.values():
            if param.kind == param.POSITIONAL_OR_KEYWORD:
                if param.name in unmatched_kwargs and unmatched_args:
                    pos_kwargs_conflicts.append(param.name)
                elif unmatched_args:
                    del unmatched_args[0]
                elif param.name in unmatched_kwargs:
                    unmatched_kwargs.remove(param.name)
                elif param.default is param.empty:
                    unsatisfied_args.append(param.name)
            elif param.kind == param.POSITIONAL_ONLY:
                if unmatched_args:
                    del unmatched_args[0]
                elif param.name in unmatched_kwargs:
                    unmatched_kwargs.remove(param.name)
                    positional_only_kwargs.append(param.name)
                elif param.default is param.empty:
                    unsatisfied_args.append(param.name)
            elif param.kind == param.KEYWORD_ONLY:
                if param.name in unmatched_kwargs:
                    unmatched_kwargs.remove(param.name)
                elif param.default is param.empty:
                    unsatisfied_kwargs.append(param.name)
            elif param.kind == param.VAR_POSITIONAL:
                has_varargs = True
            elif param.kind == param.VAR_KEYWORD:
                has_var_kwargs = True
        if pos_kwargs_conflicts:
            raise ValueError("以下参数同时在 args 和 kwargs 中提供：" + ", ".join(pos_kwargs_conflicts))
        if positional_only_kwargs:
            raise ValueError("以下参数不能作为关键字参数提供：" + ", ".join(positional_only_kwargs))
        if unsatisfied_args:
            raise ValueError("以下参数未提供：" + ", ".join(unsatisfied_args))
        if unsatisfied_kwargs:
            raise ValueError("以下仅关键字参数未在 kwargs 中提供：" + ", ".join(unsatisfied_kwargs))
        if unmatched_args and not has_varargs:
            raise ValueError(f"位置参数列表比目标可调用对象能处理的更长 (允许：{len(args) - len(unmatched_args)}, "
                             f"提供的 args：{len(args)})")
        if unmatched_kwargs and not has_var_kwargs:
            raise ValueError("目标可调用对象不接受以下关键字参数：" + ", ".join(unmatched_kwargs))
        return None

    @classmethod
    @lru_cache(maxsize=128)
    def _get_signature(cls, func):
        return signature(func, follow_wrapped=False)

    @classmethod
    @_valkin_except("期望检查函数是否是协程函数")
    def _callable_coroutine(cls, obj, except_result="valkin_except_result"):
        while isinstance(obj, partial):
            obj = obj.func
        return iscoroutinefunction(obj)
