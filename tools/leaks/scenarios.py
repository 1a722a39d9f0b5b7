"""Every method of kelvaro_duneth.kv_duneth and each of its error paths, as repeatable scenarios.

Shared by refleaks.py (reference and block counts under python3-dbg) and smoke.py (valgrind).
Each scenario is one call with a known outcome: a result type or an exception class; a
different outcome stops the run, so the table checks behaviour as well as leaks. The module's
globals are rebound to cheap stand-ins (install_stand_ins) so that no scenario derives a real key
and cryptography's own caches stay out of the figures.
"""
import base64
import contextlib
import copy
import gc
import os
import pickle
import sys
import types
import warnings

import kelvaro_duneth.kv_duneth as m

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from stand_ins import (IntReturns, QuickCipher, QuickKDF, call_with_dict, clock_at,  # noqa: E402
                       native, through_cipher, through_dict)

K = m.kv_duneth
NS = vars(m)
CHECKSUMS = (0x2284821, 0xBC0AC1D, 0x11B7A02)
KEY = base64.urlsafe_b64encode(bytes(32))  # the keyed objects' cipher key, as a key string


# ---- stand-ins -------------------------------------------------------------------------------

class StubSHA256:
    name = "sha256"


class Raiser:
    """A callable (or cipher) whose every use raises a new exception like `exc`."""

    def __init__(self, exc):
        self.exc_type, self.exc_args = type(exc), exc.args

    def raise_(self):
        raise self.exc_type(*self.exc_args)  # a new one: a reused instance keeps its traceback

    def __call__(self, *args, **kwargs):
        self.raise_()

    def encrypt(self, data):
        self.raise_()

    def decrypt(self, token):
        self.raise_()


class BadBytes:
    """encrypt/decrypt return values that the text methods cannot decode."""

    def encrypt(self, data):
        return b"\xff\xfe"

    def decrypt(self, token):
        return b"\xff\xfe"


class NotBytes:
    def encrypt(self, data):
        return 42

    def decrypt(self, token):
        return 42


class StrSub(str):
    pass


class IntSub(int):
    pass


class Sub(K):
    pass


class SlotSub(K):
    __slots__ = ()


class DictRaises(K):
    @property
    def __dict__(self):
        raise RuntimeError("no dict today")


STAND_INS = {
    "Fernet": QuickCipher,
    "PBKDF2HMAC": QuickKDF,
    "hashes": types.SimpleNamespace(SHA256=StubSHA256),
    "base64": types.SimpleNamespace(urlsafe_b64encode=base64.urlsafe_b64encode),
}


@contextlib.contextmanager
def rebound(**names):
    """Rebinds module globals for a while; a value of None deletes the name."""
    saved = {name: NS[name] for name in names if name in NS}
    try:
        for name, value in names.items():
            if value is None:
                NS.pop(name, None)
            else:
                NS[name] = value
        yield
    finally:
        for name in names:
            NS.pop(name, None)
        NS.update(saved)


def install_stand_ins():
    return rebound(**STAND_INS)


@contextlib.contextmanager
def warnings_as(action):
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        yield


# ---- the table -------------------------------------------------------------------------------

class Scenario:
    def __init__(self, group, name, call, outcome, context=None):
        self.group, self.name, self.call, self.outcome = group, name, call, outcome
        self.context = context or contextlib.nullcontext

    def once(self):
        outcome = self.outcome
        if isinstance(outcome, type) and issubclass(outcome, BaseException):
            try:
                self.call()
            except outcome:
                return
            raise AssertionError(f"{self.name}: {outcome.__name__} not raised")
        result = self.call()
        if not isinstance(result, outcome):
            raise AssertionError(f"{self.name}: unexpected result {result!r}")


def _keyed(cipher=None, cls=K):
    o = cls.__new__(cls)
    o.__setstate__((QuickCipher(KEY) if cipher is None else cipher, "passphrase"))
    return o


def _collect_young(make):
    def run():
        make()
        gc.collect(0)
    return run


def build():
    """The scenarios, made fresh (each holds its own objects)."""
    keyed = _keyed()
    unkeyed = K.__new__(K)
    sub = _keyed(cls=Sub)
    sub.extra = [1, 2]
    slot_sub = _keyed(cls=SlotSub)
    raising = _keyed(Raiser(ValueError("cipher says no")))
    interrupt = _keyed(Raiser(KeyboardInterrupt()))
    bad_bytes = _keyed(BadBytes())
    not_bytes = _keyed(NotBytes())
    token, data_token = keyed.encrypt_string("plain"), keyed.encrypt_data(b"plain")
    key_text = KEY.decode()
    reinit = _keyed()
    half = _keyed()
    set_target = _keyed()
    dict_raises = _keyed(cls=DictRaises)
    pickled = pickle.dumps(keyed)
    pickled_sub = pickle.dumps(sub)
    U = NS["__pyx_unpickle_kv_duneth"]
    out = []

    def add(group, name, call, outcome, context=None):
        out.append(Scenario(group, name, call, outcome, context))

    def missing(name):
        return lambda: rebound(**{name: None})

    def with_names(**names):
        return lambda: rebound(**names)

    # construction and key derivation
    g = "construct"
    add(g, "kv_duneth(str)", lambda: K("secret"), K)
    add(g, "kv_duneth(secret_key=)", lambda: K(secret_key="secret"), K)
    add(g, "kv_duneth('') / non-ASCII", lambda: K("Grüße ✓"), K)
    add(g, "subclass()", lambda: Sub("secret"), Sub)
    add(g, "re-__init__", lambda: reinit.__init__("other"), type(None))
    add(g, "kv_duneth(None)", lambda: K(None), AttributeError)
    add(g, "re-__init__(None): half-keyed", lambda: half.__init__(None), AttributeError)
    add(g, "kv_duneth(surrogate)", lambda: K("\ud800"), UnicodeEncodeError)
    add(g, "kv_duneth(bytes)", lambda: K(b"secret"), TypeError)
    add(g, "kv_duneth(str subclass)", lambda: K(StrSub("s")), TypeError)
    add(g, "kv_duneth()", lambda: K(), TypeError)
    add(g, "kv_duneth(a, b)", lambda: K("a", "b"), TypeError)
    add(g, "kv_duneth(a, secret_key=)", lambda: K("a", secret_key="b"), TypeError)
    add(g, "kv_duneth(bogus=)", lambda: K(bogus="a"), TypeError)
    add(g, "kv_duneth(secret_key=, bogus=)", lambda: K(secret_key="a", bogus=1), TypeError)
    add(g, "kv_duneth(**{1: x}) (native)", lambda: call_with_dict(K, (), {1: "x"}), TypeError)
    add(g, "kv_duneth(x, **{1: y}) (native)", lambda: call_with_dict(K, ("x",), {1: "y"}),
        TypeError)
    for name in ("PBKDF2HMAC", "hashes", "base64", "Fernet"):
        add(g, f"NameError {name}", lambda: K("s"), NameError, missing(name))
    add(g, "SHA256 raises", lambda: K("s"), ZeroDivisionError,
        with_names(hashes=types.SimpleNamespace(SHA256=Raiser(ZeroDivisionError()))))
    add(g, "hashes without SHA256", lambda: K("s"), AttributeError,
        with_names(hashes=types.SimpleNamespace()))
    add(g, "PBKDF2HMAC raises", lambda: K("s"), ValueError,
        with_names(PBKDF2HMAC=Raiser(ValueError("kdf"))))
    add(g, "derive raises", lambda: K("s"), LookupError,
        with_names(PBKDF2HMAC=lambda **kw: types.SimpleNamespace(derive=Raiser(LookupError()))))
    add(g, "kdf without derive", lambda: K("s"), AttributeError,
        with_names(PBKDF2HMAC=lambda **kw: object()))
    add(g, "urlsafe_b64encode raises", lambda: K("s"), OSError,
        with_names(base64=types.SimpleNamespace(urlsafe_b64encode=Raiser(OSError()))))
    add(g, "Fernet raises", lambda: K("s"), ValueError,
        with_names(Fernet=Raiser(ValueError("Fernet key must be 32 bytes"))))

    # text and byte encryption
    g = "encrypt"
    add(g, "encrypt_string", lambda: keyed.encrypt_string("plain"), str)
    add(g, "encrypt_string(input_string=)", lambda: keyed.encrypt_string(input_string="p"), str)
    add(g, "K.encrypt_string(obj, s)", lambda: K.encrypt_string(keyed, "p"), str)
    add(g, "encrypt_string on subclass", lambda: sub.encrypt_string("p"), str)
    add(g, "encrypt_string on slotted subclass", lambda: slot_sub.encrypt_string("p"), str)
    add(g, "encrypt_string(None)", lambda: keyed.encrypt_string(None), AttributeError)
    add(g, "encrypt_string(surrogate)", lambda: keyed.encrypt_string("\udcff"), UnicodeEncodeError)
    add(g, "encrypt_string(bytes)", lambda: keyed.encrypt_string(b"p"), TypeError)
    add(g, "encrypt_string(str subclass)", lambda: keyed.encrypt_string(StrSub("p")), TypeError)
    add(g, "encrypt_string()", lambda: keyed.encrypt_string(), TypeError)
    add(g, "encrypt_string(a, b)", lambda: keyed.encrypt_string("a", "b"), TypeError)
    add(g, "encrypt_string(a, input_string=)", lambda: keyed.encrypt_string("a", input_string="b"),
        TypeError)
    add(g, "encrypt_string(bogus=)", lambda: keyed.encrypt_string(bogus="a"), TypeError)
    add(g, "encrypt_string(input_string=, bogus=)",
        lambda: keyed.encrypt_string(input_string="a", bogus=1), TypeError)
    add(g, "encrypt_string unkeyed", lambda: unkeyed.encrypt_string("p"), AttributeError)
    add(g, "encrypt_string cipher raises", lambda: raising.encrypt_string("p"), ValueError)
    add(g, "encrypt_string token not UTF-8", lambda: bad_bytes.encrypt_string("p"),
        UnicodeDecodeError)
    add(g, "encrypt_string token has no decode", lambda: not_bytes.encrypt_string("p"),
        AttributeError)
    add(g, "K.encrypt_string()", lambda: K.encrypt_string(), TypeError)
    add(g, "K.encrypt_string(non-instance)", lambda: K.encrypt_string(5, "p"), TypeError)
    add(g, "encrypt_string(**{1: x}) (native)",
        lambda: native(K.encrypt_string, (keyed, "a"), [(1, "b")]), TypeError)
    add(g, "encrypt_string(input_string=, **{1: x}) (native)",
        lambda: native(K.encrypt_string, (keyed,), [("input_string", "a"), (1, "b")]), TypeError)
    add(g, "encrypt_string(input_string=) non-interned (native)",
        lambda: native(K.encrypt_string, (keyed,), [("".join(["input_", "string"]), "a")]), str)
    add(g, "decrypt_string", lambda: keyed.decrypt_string(token), str)
    add(g, "decrypt_string(encrypted_string=)",
        lambda: keyed.decrypt_string(encrypted_string=token), str)
    add(g, "decrypt_string(bad token)", lambda: keyed.decrypt_string("not a token"), type(None))
    add(g, "decrypt_string(None)", lambda: keyed.decrypt_string(None), type(None))
    add(g, "decrypt_string(surrogate)", lambda: keyed.decrypt_string("\ud800"), type(None))
    add(g, "decrypt_string unkeyed", lambda: unkeyed.decrypt_string(token), type(None))
    add(g, "decrypt_string cipher raises", lambda: raising.decrypt_string(token), type(None))
    add(g, "decrypt_string KeyboardInterrupt", lambda: interrupt.decrypt_string(token), type(None))
    add(g, "decrypt_string plaintext not UTF-8", lambda: bad_bytes.decrypt_string(token),
        type(None))
    add(g, "decrypt_string plaintext has no decode", lambda: not_bytes.decrypt_string(token),
        type(None))
    add(g, "decrypt_string(bytes)", lambda: keyed.decrypt_string(b"x"), TypeError)
    add(g, "decrypt_string()", lambda: keyed.decrypt_string(), TypeError)
    add(g, "decrypt_string(bogus=)", lambda: keyed.decrypt_string(bogus=token), TypeError)
    add(g, "encrypt_data", lambda: keyed.encrypt_data(b"plain"), bytes)
    add(g, "encrypt_data(data=)", lambda: keyed.encrypt_data(data=b"p"), bytes)
    add(g, "encrypt_data(None)", lambda: keyed.encrypt_data(None), TypeError)
    add(g, "encrypt_data(str)", lambda: keyed.encrypt_data("p"), TypeError)
    add(g, "encrypt_data(bytearray)", lambda: keyed.encrypt_data(bytearray(b"p")), TypeError)
    add(g, "encrypt_data unkeyed", lambda: unkeyed.encrypt_data(b"p"), AttributeError)
    add(g, "encrypt_data cipher raises", lambda: raising.encrypt_data(b"p"), ValueError)
    add(g, "encrypt_data(a, data=)", lambda: keyed.encrypt_data(b"a", data=b"b"), TypeError)
    add(g, "decrypt_data", lambda: keyed.decrypt_data(data_token), bytes)
    add(g, "decrypt_data(encrypted_data=)", lambda: keyed.decrypt_data(encrypted_data=data_token),
        bytes)
    add(g, "decrypt_data(bad token)", lambda: keyed.decrypt_data(b"junk"), type(None))
    add(g, "decrypt_data(None)", lambda: keyed.decrypt_data(None), type(None))
    add(g, "decrypt_data unkeyed", lambda: unkeyed.decrypt_data(data_token), type(None))
    add(g, "decrypt_data KeyboardInterrupt", lambda: interrupt.decrypt_data(data_token),
        type(None))
    add(g, "decrypt_data(str)", lambda: keyed.decrypt_data("x"), TypeError)
    add(g, "decrypt_data(a, b)", lambda: keyed.decrypt_data(b"a", b"b"), TypeError)

    # key strings
    g = "key strings"
    add(g, "string_to_secret_key", lambda: keyed.string_to_secret_key("pass"), str)
    add(g, "string_to_secret_key(input_string=)",
        lambda: keyed.string_to_secret_key(input_string="pass"), str)
    add(g, "string_to_secret_key(None)", lambda: keyed.string_to_secret_key(None), AttributeError)
    add(g, "string_to_secret_key(surrogate)", lambda: keyed.string_to_secret_key("\ud800"),
        UnicodeEncodeError)
    add(g, "string_to_secret_key(bytes)", lambda: keyed.string_to_secret_key(b"p"), TypeError)
    add(g, "string_to_secret_key()", lambda: keyed.string_to_secret_key(), TypeError)
    for name in ("PBKDF2HMAC", "hashes", "base64"):
        add(g, f"string_to_secret_key NameError {name}",
            lambda: keyed.string_to_secret_key("p"), NameError, missing(name))
    add(g, "string_to_secret_key derive raises", lambda: keyed.string_to_secret_key("p"),
        LookupError,
        with_names(PBKDF2HMAC=lambda **kw: types.SimpleNamespace(derive=Raiser(LookupError()))))
    add(g, "string_to_secret_key key not UTF-8", lambda: keyed.string_to_secret_key("p"),
        UnicodeDecodeError,
        with_names(base64=types.SimpleNamespace(urlsafe_b64encode=lambda raw: b"\xff")))
    add(g, "secret_key_to_string", lambda: keyed.secret_key_to_string(key_text, token), str)
    add(g, "secret_key_to_string(kw, kw) reversed",
        lambda: keyed.secret_key_to_string(encrypted_string=token, secret_key=key_text), str)
    add(g, "secret_key_to_string(bad token)",
        lambda: keyed.secret_key_to_string(key_text, "junk"), type(None))
    add(g, "secret_key_to_string(None, None)",
        lambda: keyed.secret_key_to_string(None, None), type(None))
    add(g, "secret_key_to_string(surrogate, token)",
        lambda: keyed.secret_key_to_string("\ud800", token), type(None))
    add(g, "secret_key_to_string(key, None)",
        lambda: keyed.secret_key_to_string(key_text, None), type(None))
    add(g, "secret_key_to_string Fernet raises",
        lambda: keyed.secret_key_to_string(key_text, token), type(None),
        with_names(Fernet=Raiser(ValueError())))
    add(g, "secret_key_to_string NameError Fernet",
        lambda: keyed.secret_key_to_string(key_text, token), type(None), missing("Fernet"))
    add(g, "secret_key_to_string KeyboardInterrupt",
        lambda: keyed.secret_key_to_string(key_text, token), type(None),
        with_names(Fernet=Raiser(KeyboardInterrupt())))
    add(g, "secret_key_to_string(bytes, str)",
        lambda: keyed.secret_key_to_string(b"k", token), TypeError)
    add(g, "secret_key_to_string(str, bytes)",
        lambda: keyed.secret_key_to_string(key_text, b"t"), TypeError)
    add(g, "secret_key_to_string(one)", lambda: keyed.secret_key_to_string(key_text), TypeError)
    add(g, "secret_key_to_string(a, b, c)",
        lambda: keyed.secret_key_to_string("a", "b", "c"), TypeError)
    add(g, "secret_key_to_string(a, secret_key=)",
        lambda: keyed.secret_key_to_string("a", secret_key="b"), TypeError)
    add(g, "secret_key_to_string(a, b, bogus=)",
        lambda: keyed.secret_key_to_string("a", "b", bogus=1), TypeError)
    add(g, "secret_key_to_string(a, b, **{1: x}) (native)",
        lambda: native(K.secret_key_to_string, (keyed, "a", "b"), [(1, "c")]), TypeError)

    # calendar
    g = "calendar"
    add(g, "get_today_date", lambda: keyed.get_today_date(), str)
    add(g, "get_today_date(1)", lambda: keyed.get_today_date(1), TypeError)
    add(g, "get_today_date(x=)", lambda: keyed.get_today_date(x=1), TypeError)
    add(g, "get_today_date NameError", lambda: keyed.get_today_date(), NameError,
        missing("datetime"))
    add(g, "generate_end_date()", lambda: keyed.generate_end_date(), str)
    add(g, "generate_end_date(1, 2, 3)", lambda: keyed.generate_end_date(1, 2, 3), str)
    add(g, "generate_end_date(days=, years=)",
        lambda: keyed.generate_end_date(days=-40, years=2), str)
    add(g, "generate_end_date(1.9, True)", lambda: keyed.generate_end_date(1.9, True), str)
    add(g, "generate_end_date(__int__)", lambda: keyed.generate_end_date(IntReturns(3)), str)
    add(g, "generate_end_date month-end fallback", lambda: keyed.generate_end_date(0, 1), str,
        with_names(datetime=clock_at(2023, 1, 31, 12)))
    add(g, "generate_end_date 29 Feb, years=1", _either(lambda: keyed.generate_end_date(1)),
        (str, ValueError), with_names(datetime=clock_at(2024, 2, 29, 12)))
    add(g, "generate_end_date fallback fails too", lambda: keyed.generate_end_date(0, 1),
        ValueError, with_names(datetime=clock_at(9999, 12, 31, 12)))
    add(g, "generate_end_date year step ValueError",
        lambda: keyed.generate_end_date(years=100000), ValueError)
    add(g, "generate_end_date days overflow (datetime)",
        lambda: keyed.generate_end_date(days=2**31 - 1), OverflowError)
    add(g, "generate_end_date 2**31", lambda: keyed.generate_end_date(2**31), OverflowError)
    add(g, "generate_end_date 2**70", lambda: keyed.generate_end_date(months=2**70),
        OverflowError)
    add(g, "generate_end_date('1')", lambda: keyed.generate_end_date("1"), TypeError)
    add(g, "generate_end_date(nan)", lambda: keyed.generate_end_date(float("nan")), ValueError)
    add(g, "generate_end_date(None)", lambda: keyed.generate_end_date(None), TypeError)
    add(g, "generate_end_date(__int__ -> str)", lambda: keyed.generate_end_date(IntReturns("x")),
        TypeError)
    add(g, "generate_end_date(__int__ raises)",
        lambda: keyed.generate_end_date(IntReturns(ArithmeticError)), ArithmeticError)
    add(g, "generate_end_date(__int__ -> int subclass), warning ignored",
        lambda: keyed.generate_end_date(IntReturns(IntSub(2))), str, lambda: warnings_as("ignore"))
    add(g, "generate_end_date(__int__ -> int subclass), warning raised",
        lambda: keyed.generate_end_date(IntReturns(IntSub(2))), DeprecationWarning,
        lambda: warnings_as("error"))
    add(g, "generate_end_date(1, 2, 3, 4)", lambda: keyed.generate_end_date(1, 2, 3, 4),
        TypeError)
    add(g, "generate_end_date(1, years=)", lambda: keyed.generate_end_date(1, years=2), TypeError)
    add(g, "generate_end_date(weeks=)", lambda: keyed.generate_end_date(weeks=2), TypeError)
    add(g, "generate_end_date(days=, **{1: x}) (native)",
        lambda: native(K.generate_end_date, (keyed,), [("days", 1), (1, 2)]), TypeError)
    add(g, "generate_end_date NameError timedelta", lambda: keyed.generate_end_date(), NameError,
        missing("timedelta"))

    # persistence
    g = "persistence"
    add(g, "__reduce__ keyed", lambda: keyed.__reduce__(), tuple)
    add(g, "__reduce_cython__ unkeyed", lambda: unkeyed.__reduce_cython__(), tuple)
    add(g, "__reduce__ subclass with dict", lambda: sub.__reduce__(), tuple)
    add(g, "__reduce__(1)", lambda: keyed.__reduce__(1), TypeError)
    add(g, "__reduce__(x=)", lambda: keyed.__reduce__(x=1), TypeError)
    add(g, "__reduce__ __dict__ raises", lambda: dict_raises.__reduce__(), RuntimeError)
    add(g, "__reduce__ NameError", lambda: keyed.__reduce__(), NameError,
        missing("__pyx_unpickle_kv_duneth"))
    add(g, "pickle.dumps", lambda: pickle.dumps(keyed), bytes)
    add(g, "pickle.loads", lambda: pickle.loads(pickled), K)
    add(g, "pickle.loads subclass", lambda: pickle.loads(pickled_sub), Sub)
    add(g, "copy.copy", lambda: copy.copy(keyed), K)
    add(g, "copy.deepcopy subclass", lambda: copy.deepcopy(sub), Sub)
    add(g, "__setstate__((c, s))", lambda: set_target.__setstate__((QuickCipher(), "s")),
        type(None))
    add(g, "__setstate_cython__((None, None, {}))",
        lambda: set_target.__setstate_cython__((None, None, {"a": 1})), type(None))
    add(g, "__setstate__ subclass dict", lambda: sub.__setstate__((QuickCipher(), "s", {"a": 1})),
        type(None))
    add(g, "__setstate__ slotted subclass, third ignored",
        lambda: slot_sub.__setstate__((QuickCipher(), "s", 5)), type(None))
    add(g, "__setstate__ subclass update fails",
        lambda: sub.__setstate__((QuickCipher(), "s", 5)), TypeError)
    add(g, "__setstate__ four members", lambda: set_target.__setstate__((None, "s", 1, 2)),
        type(None))
    add(g, "__setstate__(None)", lambda: set_target.__setstate__(None), TypeError)
    add(g, "__setstate__([])", lambda: set_target.__setstate__([1, 2]), TypeError)
    add(g, "__setstate__(())", lambda: set_target.__setstate__(()), IndexError)
    add(g, "__setstate__((c,))", lambda: set_target.__setstate__((QuickCipher(),)), IndexError)
    add(g, "__setstate__((c, 1))", lambda: set_target.__setstate__((QuickCipher(), 1)), TypeError)
    add(g, "__setstate__((c, StrSub))",
        lambda: set_target.__setstate__((QuickCipher(), StrSub("s"))), TypeError)
    add(g, "__setstate__()", lambda: set_target.__setstate__(), TypeError)
    add(g, "__setstate__(s, __pyx_state=)",
        lambda: set_target.__setstate__((None, None), __pyx_state=(None, None)), TypeError)
    for checksum in CHECKSUMS:
        add(g, f"unpickle {checksum:#x}", lambda c=checksum: U(K, c, None), K)
    add(g, "unpickle state", lambda: U(K, CHECKSUMS[0], (QuickCipher(), "s")), K)
    add(g, "unpickle one-step", lambda: U(K, CHECKSUMS[0], (None, None)), K)
    add(g, "unpickle subclass state",
        lambda: U(Sub, CHECKSUMS[0], (QuickCipher(), "s", {"a": 1})), Sub)
    add(g, "unpickle keywords",
        lambda: U(__pyx_state=None, __pyx_checksum=CHECKSUMS[1], __pyx_type=K), K)
    add(g, "unpickle float checksum", lambda: U(K, 36194337.0, None), K)
    add(g, "unpickle bad checksum", lambda: U(K, 1, None), pickle.PickleError)
    add(g, "unpickle negative checksum", lambda: U(K, -2**63, None), pickle.PickleError)
    add(g, "unpickle PickleError unimportable", lambda: U(K, 1, None), ImportError,
        lambda: _pickle_without_error())
    add(g, "unpickle str checksum", lambda: U(K, "1", None), TypeError)
    add(g, "unpickle 2**64 checksum", lambda: U(K, 2**64, None), OverflowError)
    add(g, "unpickle type int", lambda: U(int, CHECKSUMS[0], None), TypeError)
    add(g, "unpickle type non-class", lambda: U(5, CHECKSUMS[0], None), TypeError)
    add(g, "unpickle state list", lambda: U(K, CHECKSUMS[0], [None, None]), TypeError)
    add(g, "unpickle state ()", lambda: U(K, CHECKSUMS[0], ()), IndexError)
    add(g, "unpickle state (c, 1)", lambda: U(K, CHECKSUMS[0], (None, 1)), TypeError)
    add(g, "unpickle subclass update fails", lambda: U(Sub, CHECKSUMS[0], (None, None, 1)),
        TypeError)
    add(g, "unpickle()", lambda: U(), TypeError)
    add(g, "unpickle(a, b, c, d)", lambda: U(K, 1, None, None), TypeError)
    add(g, "unpickle(K, c, __pyx_type=)", lambda: U(K, 1, __pyx_type=K), TypeError)
    add(g, "unpickle(bogus=)", lambda: U(K, 1, None, bogus=2), TypeError)
    add(g, "unpickle(K, c, **{1: x}) (native)",
        lambda: native(U, (K, CHECKSUMS[0], None), [(1, 1)]), TypeError)

    # garbage collection and the function objects
    g = "gc, functions"
    for where, make in [("the cipher slot", lambda: through_cipher(K.__new__(K))),
                        ("a subclass dict", lambda: through_dict(_keyed(cls=Sub))),
                        ("a constructed object", lambda: through_cipher(K("x")))]:
        add(g, "cycle through " + where, _collect_young(make), type(None))
    add(g, "gc.get_referents", lambda: gc.get_referents(keyed), list)
    add(g, "function attributes", lambda: (K.encrypt_string.__code__,
                                           K.generate_end_date.__defaults__,
                                           K.decrypt_data.__globals__,
                                           K.get_today_date.__qualname__,
                                           repr(K.string_to_secret_key)), tuple)
    add(g, "function __dict__ set/del", _function_dict_roundtrip, type(None))
    add(g, "pickle a function", lambda: pickle.loads(pickle.dumps(K.encrypt_string)),
        type(K.encrypt_string))
    add(g, "bound method", lambda: keyed.encrypt_data.__self__, K)
    return out


def _either(call):
    """For a path whose exact outcome other tests pin down: a ValueError counts as a result."""
    def run():
        try:
            return call()
        except ValueError as exc:
            return exc
    return run


def _function_dict_roundtrip():
    f = K.encrypt_data
    f.tag = object()
    del f.tag


@contextlib.contextmanager
def _pickle_without_error():
    saved = pickle.PickleError
    del pickle.PickleError
    try:
        yield
    finally:
        pickle.PickleError = saved


def baseline():
    """A pure-Python scenario of similar shape: the noise floor of the measurement."""
    box = [QuickCipher(), "x"]
    return Scenario("baseline", "pure Python calls", lambda: tuple(box) and None, type(None))
