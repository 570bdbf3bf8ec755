from functools import wraps


class DecoratorBase:
    @classmethod
    def _get_valkin_except(cls):
        return _valkin_except

    @classmethod
    def _undefined(cls):
        return _Undefined()


def _valkin_except(exception):
    def decorator(func):
        @wraps(func)
        def wrapper(*args, **kwargs):
            except_result = kwargs.get("except_result")
            try:
                return func(*args, **kwargs)
            except Exception as err:
                if except_result == "valkin_except_result":
                    raise type(err)(str(exception) + "，异常原因：{" + str(err) + "}")
                return except_result

        return wrapper

    return decorator


class _Undefined:
    @staticmethod
    def __nonzero__():
        return False

    def __bool__(self):
        return False

    def __repr__(self):
        return "<undefined>"
