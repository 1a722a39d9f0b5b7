"""Python code that runs inside the module's calls and changes the object under its feet.

Run as a script, `python adversary.py SCENARIO [ROUNDS]`: it prints "ok" when the module came
through with the right results. A borrowed pointer used across such code shows as a crash (or a
sanitizer report) of that process, which is why the tests run each scenario in a subprocess.
"""
import base64
import datetime as dt
import gc
import pickle
import sys
import threading
import types

import kelvaro_duneth.kv_duneth as m
from cryptography.fernet import Fernet
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

from helpers import derived_key

K, U = m.kv_duneth, m.__pyx_unpickle_kv_duneth
PASSPHRASE = "pw"
# The key that K(PASSPHRASE) derives: every cipher the adversary installs agrees with it, so
# results stay checkable however often the object is re-keyed under a call.
KEY = derived_key(passphrase=PASSPHRASE)


class Sub(K):
    pass


def fresh_globals():
    """Module globals rebound to new objects, so that the old ones die at once."""
    m.Fernet = lambda key: Fernet(key)
    m.PBKDF2HMAC = lambda **kw: PBKDF2HMAC(**kw)
    m.hashes = types.SimpleNamespace(SHA256=hashes.SHA256)
    m.base64 = types.SimpleNamespace(urlsafe_b64encode=base64.urlsafe_b64encode)
    m.datetime = type("datetime", (dt.datetime,), {})
    m.timedelta = type("timedelta", (dt.timedelta,), {})


def rekey(objects):
    """A fresh cipher in every object: the one a running call uses loses its last owner."""
    for o in objects:
        o.__setstate__((Fernet(KEY), PASSPHRASE))
    fresh_globals()


def check(condition, what):
    if not condition:
        sys.exit("wrong result: " + what)


def raises(kind, call):
    try:
        call()
    except kind:
        return True
    return False


def fernet_pickles():
    try:
        pickle.dumps(Fernet(KEY))
    except TypeError:  # cryptography 3.x keeps an FFI object in each Fernet
        return False
    return True


FERNET_PICKLES = fernet_pickles()


def pickled_copy_decrypts(o, token):
    """The copy decrypts what the object encrypted, or pickling fails as the cipher's does."""
    if FERNET_PICKLES:
        return pickle.loads(pickle.dumps(o)).decrypt_string(token) == "Grüße"
    return raises(TypeError, lambda: pickle.dumps(o))


def every_method(o):
    """Each method on its success and its error paths, as checks that return True."""
    token = o.encrypt_string("Grüße")
    key = o.string_to_secret_key("shared")
    key_token = Fernet(key.encode()).encrypt(b"k").decode()
    today = dt.date.today().strftime("%Y-%m-%d")
    return [
        lambda: o.decrypt_string(o.encrypt_string("Grüße")) == "Grüße",
        lambda: o.decrypt_string(token) == "Grüße",
        lambda: o.decrypt_data(o.encrypt_data(b"\0x")) == b"\0x",
        lambda: o.decrypt_string("not a token") is None and o.decrypt_data(None) is None,
        lambda: raises(AttributeError, lambda: o.encrypt_string(None)),
        lambda: raises(TypeError, lambda: o.encrypt_data(None)),
        lambda: raises(TypeError, lambda: o.decrypt_data("text")),
        lambda: raises(TypeError, lambda: o.encrypt_string("a", "b")),
        lambda: o.get_today_date() in (today, dt.date.today().strftime("%Y-%m-%d")),
        lambda: len(o.generate_end_date(1, -13, 40)) == 10,
        lambda: raises(ValueError, lambda: o.generate_end_date(years=9999)),
        lambda: o.secret_key_to_string(key, key_token) == "k",
        lambda: o.secret_key_to_string("bad key", token) is None,
        lambda: len(o.__reduce__()) == 3,
        lambda: pickled_copy_decrypts(o, token),
        lambda: raises(pickle.PickleError, lambda: U(K, 1, None)),
        lambda: raises(TypeError, lambda: U(K, 0x2284821, [None, None])),
        lambda: U(Sub, 0x2284821, (Fernet(KEY), PASSPHRASE)).decrypt_string(token) == "Grüße",
        lambda: o.__setstate__((Fernet(KEY), PASSPHRASE)) is None,
        lambda: raises(AttributeError, lambda: o.__init__(None)),
    ]


def run_checks(checks, rounds):
    """Every check with both parities of the allocation count, since the collector runs at
    every second allocation."""
    for n in range(rounds):
        for i, check_one in enumerate(checks):
            pad = [] if n % 2 else None  # noqa: F841 - shifts the collector by one allocation
            check(check_one(), "check %d" % i)


def collector_everywhere(rounds, hook):
    objects = [K(PASSPHRASE), Sub(PASSPHRASE)]
    callback = lambda phase, info: phase == "start" and hook(objects)  # noqa: E731
    gc.callbacks.append(callback)
    gc.set_threshold(1, 1, 1)
    try:
        for o in objects:
            run_checks(every_method(o), 2 * rounds)
            o.__init__(PASSPHRASE)
    finally:
        gc.set_threshold(700, 10, 10)
        gc.callbacks.remove(callback)


def scenario_collector(rounds):
    """A collection at every allocation, each one re-keying every object."""
    collector_everywhere(rounds, rekey)


def scenario_two_threads(rounds):
    """Each collection only hands the GIL to the other thread, and that thread re-keys."""
    go, finished, objects = threading.Event(), threading.Event(), []

    def other():
        while go.wait() and objects:
            go.clear()
            rekey(objects)
            finished.set()

    def hook(live):
        objects[:] = live
        finished.clear()
        go.set()
        finished.wait()  # waiting releases the GIL until the other thread has re-keyed

    thread = threading.Thread(target=other)
    thread.start()
    try:
        collector_everywhere(rounds, hook)
    finally:
        objects.clear()
        go.set()
        thread.join()


class RekeyingKey(str):
    """A dictionary key that collides with a method name and re-keys the object on comparison."""

    def __hash__(self):
        return hash(self.collides_with)

    def __eq__(self, other):
        self.victim.__setstate__((None, None))
        return False


def cipher_whose_lookup_rekeys(victim, name):
    cipher = types.SimpleNamespace()
    key = RekeyingKey("x")
    key.victim, key.collides_with = victim, name
    vars(cipher)[key] = None
    vars(cipher)[name] = lambda data: b"t" + data if name == "encrypt" else data[1:]
    return cipher


class RekeyingItem:
    def __init__(self, victim):
        self.victim = victim

    def __eq__(self, other):
        self.victim.__setstate__((None, None))
        return False


class CountingCipher(list):
    """Methods that are C functions calling back into Python: list.count compares items."""
    encrypt = decrypt = list.count


def scenario_reentrant_cipher(rounds):
    o = K.__new__(K)
    for _ in range(rounds):
        for name, call in (("encrypt", lambda: o.encrypt_string("x")),
                           ("encrypt", lambda: o.encrypt_data(b"x")),
                           ("decrypt", lambda: o.decrypt_string("tx")),
                           ("decrypt", lambda: o.decrypt_data(b"tx"))):
            o.__setstate__((cipher_whose_lookup_rekeys(o, name), "x"))
            result = call()
            check(result in ("tx", b"tx", "x", b"x"), "re-keying look-up: %r" % (result,))
            o.__setstate__((CountingCipher([RekeyingItem(o)] * 3), "x"))
            try:
                result = call()  # count() finds nothing: 0, which has no decode()
            except AttributeError:
                result = AttributeError
            check(result in (0, None, AttributeError), "re-keying method: %r" % (result,))


def scenario_reduce_class(rounds):
    """The module-global look-up of reduce runs Python code that changes the object's class."""
    import builtins
    saved = m.__pyx_unpickle_kv_duneth
    for _ in range(rounds):
        first = type("First", (K,), {})
        second = type("Second", (K,), {})
        o = first.__new__(first)
        del first

        def lookup(name, o=o, second=second):
            if name == "__pyx_unpickle_kv_duneth":
                o.__class__ = second
                gc.collect()  # the old class has no owner left but the running reduce
                return saved
            raise AttributeError(name)

        del m.__pyx_unpickle_kv_duneth
        builtins.__getattr__ = lookup
        try:
            value = o.__reduce__()
        finally:
            del builtins.__getattr__
            m.__pyx_unpickle_kv_duneth = saved
        check(value[0] is saved and value[1][0].__name__ in ("First", "Second"), "reduce value")


class HugeDate:
    """A datetime whose year and month are far outside machine integers."""
    replaced = []

    def __init__(self, year, month=1, day=31):
        self.year, self.month, self.day = year, month, day

    start = (2**63 - 1, 2**63 - 5)

    @classmethod
    def now(cls):
        return cls(*cls.start)

    def __add__(self, delta):
        return self

    def replace(self, **kw):
        HugeDate.replaced.append(kw)
        if kw.get("day", self.day) > 28 and "month" in kw:
            raise ValueError("day is out of range for month")
        return HugeDate(kw.get("year", self.year), kw.get("month", self.month), kw.get("day", 1))

    def strftime(self, pattern):
        return "%d-%d-%d" % (self.year, self.month, self.day)


def scenario_huge_dates(rounds):
    m.datetime = HugeDate
    o = K.__new__(K)
    # Beyond 64 bits, and months within a few of -2**63 where the carry's machine arithmetic
    # must not overflow.
    starts = [((2**63 - 1, 2**63 - 5), (2**31 - 1, 2**31 - 1)), ((2000, -2**63 + 1), (0, 0)),
              ((2000, -2**63 + 4), (0, -3)), ((-2000, -2**63 + 3), (1, 0))]
    for _ in range(rounds):
        for HugeDate.start, (years, months) in starts:
            HugeDate.replaced.clear()
            text = o.generate_end_date(years, months, 0)
            year = HugeDate.start[0] + years
            month = HugeDate.start[1] + months
            exact = (year + (month - 1) // 12, (month - 1) % 12 + 1)
            check(HugeDate.replaced[0] == {"year": year}, "year step: %r" % HugeDate.replaced)
            check(HugeDate.replaced[1] == dict(zip(("year", "month"), exact)), "month step")
            check(text.startswith("%d-%d-" % exact), "result " + text)


if __name__ == "__main__":
    name = sys.argv[1]
    globals()["scenario_" + name](int(sys.argv[2]) if len(sys.argv) > 2 else 2)
    print("ok")
