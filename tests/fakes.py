"""Fakes for single tests: cheap versions of what kv_duneth calls (cryptography's Fernet and
PBKDF2HMAC, an argument's __int__), a native caller, and reference cycles through its objects.
(The package tests/stand_in replaces the whole of cryptography for a test run.)
"""
import base64
import ctypes
import hashlib
import time


class QuickCipher:
    """A keyed cipher at the cost of a few bytes operations: token = key tag + plaintext."""

    def __init__(self, key=b""):
        self.key, self.tag = key, hashlib.sha256(key).digest()[:8]

    def __reduce__(self):  # copies are made through __init__, as a subclass may count
        return type(self), (self.key,)

    def encrypt(self, data):
        if type(data) is not bytes:
            raise TypeError("data must be bytes")
        return base64.urlsafe_b64encode(self.tag + data)

    def decrypt(self, token):
        raw = base64.urlsafe_b64decode(token)
        if raw[:8] != self.tag:
            raise ValueError("another key")
        return raw[8:]


class QuickKDF:
    """PBKDF2HMAC's interface at the cost of one hash; derive() lets other threads run first,
    as a long derivation would (inside __init__, between storing the new passphrase and storing
    the new cipher)."""

    def __init__(self, *, algorithm, length, salt, iterations):
        self.salt, self.length = salt, length

    def derive(self, material):
        time.sleep(0)
        return hashlib.sha256(self.salt + material).digest()[: self.length]


class IntReturns:
    """__int__ returns `value`; raises a new one when `value` is an exception class."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("__int__")
        return self.value

    def __repr__(self):
        return f"IntReturns({self.value!r})"


VECTORCALL = getattr(ctypes.pythonapi, "PyObject_Vectorcall", None)  # exported from 3.9 on
if VECTORCALL:
    VECTORCALL.restype = ctypes.py_object
    VECTORCALL.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def native(func, args, pairs=()):
    """A native caller's vectorcall: keyword names are whatever objects it puts in the tuple."""
    stack = list(args) + [v for _, v in pairs]
    array = (ctypes.py_object * max(1, len(stack)))(*stack)
    kwnames = tuple(k for k, _ in pairs) or None  # kept alive here; None passes NULL
    return VECTORCALL(func, ctypes.addressof(array), len(args),
                      None if kwnames is None else id(kwnames))


def call_with_dict(func, args, kwargs):
    """PyObject_Call with a keyword dict whose keys need not be str."""
    return _call(func, tuple(args), kwargs)


class Marker:
    """Sits inside a cycle: its weak reference dies when the cycle is collected."""


def through_cipher(o):
    """o -> [o, marker] through the cipher slot; returns the marker."""
    marker = Marker()
    o.__setstate__(([o, marker], "passphrase"))
    return marker


def through_self(o):
    """o as its own cipher, a marker in its dictionary (o: of a subclass)."""
    o.__setstate__((o, None))
    o.marker = marker = Marker()
    return marker


def through_dict(o):
    """o -> o through its dictionary (o: of a subclass)."""
    o.me, o.marker = o, Marker()
    return o.marker
