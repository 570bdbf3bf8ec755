import threading
import time

from Crypto.Cipher import AES
from Crypto.Util.Padding import pad, unpad

_counter_lock = threading.RLock()


class AuthBase:
    machine_id = 0
    datacenter_id = 0
    sequence = 0
    last_timestamp = -1

    @staticmethod
    def _wait_for_next_millisecond(last_timestamp):
        timestamp = int(time.time() * 1000)
        while timestamp <= last_timestamp:
            timestamp = int(time.time() * 1000)
        return timestamp

    @classmethod
    def id_config(cls, machine_id, datacenter_id):
        for name, value in (("machine_id", machine_id), ("datacenter_id", datacenter_id)):
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"{name} 必须是 int，实际为 {type(value).__qualname__}")
            if not 0 <= value <= 31:
                raise ValueError(f"{name} 必须在 0 到 31 之间，实际为 {value}")
        with _counter_lock:
            cls.machine_id = machine_id
            cls.datacenter_id = datacenter_id

    @classmethod
    def id_(cls):
        now = int(time.time() * 1000)
        with _counter_lock:
            last = cls.last_timestamp
            timestamp = max(now, last)
            if timestamp == last:
                cls.sequence = (cls.sequence + 1) & 4095
                if cls.sequence == 0:
                    if now < last:
                        timestamp = last + 1
                    else:
                        timestamp = cls._wait_for_next_millisecond(last)
            else:
                cls.sequence = 0
            cls.last_timestamp = timestamp
            return (timestamp << 22) | (cls.datacenter_id << 17) | (cls.machine_id << 12) | cls.sequence

    @classmethod
    def auth_encode(cls, value, key):
        cipher = AES.new(key.encode("utf-8"), AES.MODE_ECB)
        return cipher.encrypt(pad(value.encode("utf-8"), AES.block_size))

    @classmethod
    def auth_decode(cls, value, key):
        cipher = AES.new(key.encode("utf-8"), AES.MODE_ECB)
        return unpad(cipher.decrypt(value), AES.block_size).decode()
