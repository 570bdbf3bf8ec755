import time as time
from typing import ClassVar

from Crypto.Cipher import AES as AES
from Crypto.Util.Padding import pad as pad, unpad as unpad

class AuthBase:
    machine_id: ClassVar[int]
    datacenter_id: ClassVar[int]
    sequence: ClassVar[int]
    last_timestamp: ClassVar[int]
    @staticmethod
    def _wait_for_next_millisecond(last_timestamp: int) -> int: ...
    @classmethod
    def id_config(cls, machine_id: int, datacenter_id: int) -> None: ...
    @classmethod
    def id_(cls) -> int: ...
    @classmethod
    def auth_encode(cls, value: str, key: str) -> bytes: ...
    @classmethod
    def auth_decode(cls, value: bytes | bytearray | memoryview, key: str) -> str: ...
