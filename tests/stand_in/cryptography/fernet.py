"""Stand-in Fernet (test double): Fernet's token layout, a SHA-256 keystream instead of AES."""
import base64
import binascii
import hashlib
import hmac
import os
import struct
import time


class InvalidToken(Exception):
    pass


def _keystream(key, iv, length):
    blocks = (hashlib.sha256(key + iv + struct.pack(">Q", i)).digest()
              for i in range((length + 31) // 32))
    return b"".join(blocks)[:length]


def _xor(data, key, iv):
    stream = _keystream(key, iv, len(data))
    return (int.from_bytes(data, "big") ^ int.from_bytes(stream, "big")).to_bytes(len(data), "big")


class Fernet:
    def __init__(self, key, backend=None):
        try:
            key = base64.urlsafe_b64decode(key)
        except binascii.Error as exc:
            raise ValueError("Fernet key must be 32 url-safe base64-encoded bytes.") from exc
        if len(key) != 32:
            raise ValueError("Fernet key must be 32 url-safe base64-encoded bytes.")
        self._signing_key = key[:16]
        self._encryption_key = key[16:]

    @classmethod
    def generate_key(cls):
        return base64.urlsafe_b64encode(os.urandom(32))

    def encrypt(self, data):
        return self.encrypt_at_time(data, int(time.time()))

    def encrypt_at_time(self, data, current_time):
        if not isinstance(data, bytes):
            raise TypeError("data must be bytes.")
        iv = os.urandom(16)
        body = _xor(data, self._encryption_key, iv)
        head = b"\x80" + struct.pack(">Q", current_time) + iv + body
        mac = hmac.new(self._signing_key, head, hashlib.sha256).digest()
        return base64.urlsafe_b64encode(head + mac)

    def decrypt(self, token, ttl=None):
        if not isinstance(token, (bytes, str)):
            raise TypeError("token must be bytes or str")
        try:
            raw = base64.urlsafe_b64decode(token)
        except (TypeError, binascii.Error):
            raise InvalidToken
        if len(raw) < 57 or raw[0] != 0x80:
            raise InvalidToken
        head, mac = raw[:-32], raw[-32:]
        if not hmac.compare_digest(hmac.new(self._signing_key, head, hashlib.sha256).digest(), mac):
            raise InvalidToken
        iv, body = head[9:25], head[25:]
        return _xor(body, self._encryption_key, iv)
