"""Threads sharing one object, the cyclic collector at awkward moments, and interpreter exit."""
import gc
import itertools
import pickle
import sys
import threading
import time
import weakref

import pytest
from cryptography.fernet import Fernet

import kelvaro_duneth.kv_duneth as kvm
from fakes import QuickCipher, QuickKDF, through_cipher, through_dict, through_self

K = kvm.kv_duneth
U = kvm.__pyx_unpickle_kv_duneth
THREADS, OPS = 8, 10_000


def run_threads(target, count=THREADS):
    """Runs target(i) on `count` threads released together; returns their exceptions."""
    errors, barrier = [], threading.Barrier(count)

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as exc:  # noqa: B902 - reported by the test
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often: more interleavings per run
    try:
        threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    return errors


@pytest.fixture
def quick(restore_globals):
    restore_globals.update(Fernet=QuickCipher, PBKDF2HMAC=QuickKDF)


def test_eight_threads_share_one_object(quick):
    shared = K("passphrase A")
    text, data = "Grüße", b"\x00\xff bytes"
    old_token = shared.encrypt_string(text)
    outcomes = []

    def work(i):
        seen = {"plain": 0, "none": 0, "reinit": 0}
        for n in range(OPS // 8):  # eight calls a round, a few more now and then
            results = [
                shared.decrypt_string(shared.encrypt_string(text)) in (text, None),
                shared.decrypt_data(shared.encrypt_data(data)) in (data, None),
                shared.decrypt_string(old_token) in (text, None),
                len(shared.__reduce__()) == 3,
            ]
            assert all(results), results
            old = shared.decrypt_string(old_token)
            assert old in (text, None)
            seen["plain" if old == text else "none"] += 1
            if n % 50 == 0:  # a full pickle round trip: the copy's own tokens always decrypt
                copy = pickle.loads(pickle.dumps(shared))
                assert copy.decrypt_string(copy.encrypt_string(text)) == text
            if n % 250 == i:  # five re-initialisations per thread, the first one failing
                passphrase = None if n == i else ("passphrase A", "passphrase B")[n // 250 % 2]
                try:
                    shared.__init__(passphrase)
                except AttributeError:
                    assert passphrase is None
                seen["reinit"] += 1
        outcomes.append(seen)

    assert run_threads(work) == []
    assert [s["reinit"] for s in outcomes] == [5] * THREADS
    # Both outcomes occurred: the re-initialisations really switched keys under the readers.
    assert sum(s["plain"] for s in outcomes) > 0 and sum(s["none"] for s in outcomes) > 0


def test_threads_with_the_real_cipher_and_swaps():
    """The real Fernet (its calls may release the GIL) while other threads swap the cipher."""
    keys = [Fernet(Fernet.generate_key()) for _ in range(2)]
    shared = K.__new__(K)
    shared.__setstate__((keys[0], "k0"))
    tokens = [k.encrypt(b"text").decode() for k in keys]

    def work(i):
        for n in range(150):
            if i % 4 == 0:
                shared.__setstate__((keys[n % 2], f"k{n % 2}"))
            token = shared.encrypt_string("text")
            assert shared.decrypt_string(token) in ("text", None)
            assert shared.decrypt_string(tokens[n % 2]) in ("text", None)

    assert run_threads(work) == []


class SlowCipher:
    """Every method look-up releases the GIL first: a swap on another thread can drop the last
    reference to this cipher while a method of the module is looking it up."""
    # next() on a count is one C call, so no thread switch can lose an update (a `+= 1` on a
    # class attribute can, on interpreters that switch between bytecodes).
    made, died = itertools.count(), itertools.count()

    def __init__(self):
        next(SlowCipher.made)

    def __del__(self):
        next(SlowCipher.died)

    @classmethod
    def alive(cls):
        return next(cls.made) - next(cls.died)

    def __getattr__(self, name):
        time.sleep(0)
        if name == "encrypt":
            return lambda data: b"t" + data
        if name == "decrypt":
            return lambda token: token[1:]
        raise AttributeError(name)


def test_cipher_swapped_while_in_use():
    shared = K.__new__(K)
    shared.__setstate__((SlowCipher(), "x"))

    def work(i):
        for n in range(300):
            if i < 2:
                shared.__setstate__((SlowCipher(), "x"))  # the old cipher dies here
            else:
                assert shared.decrypt_string(shared.encrypt_string("abc")) == "abc"
                assert shared.decrypt_data(b"tabc") == b"abc"

    assert run_threads(work, 6) == []
    shared = None  # the last cipher goes with the object: none may be left over
    assert SlowCipher.alive() == 0


class Sub(K):
    pass


@pytest.mark.parametrize("make, cls", [
    (through_cipher, K), (through_cipher, Sub), (through_self, Sub), (through_dict, Sub),
])
def test_cycles_are_collected(make, cls):
    watched = weakref.ref(make(cls.__new__(cls)))
    assert watched() is not None
    gc.collect()
    assert watched() is None and gc.garbage == []


CHAIN_CODE = """
import kelvaro_duneth.kv_duneth as m
head = None
for _ in range(1_000_000):  # each object holds the previous one as its cipher
    link = m.kv_duneth.__new__(m.kv_duneth)
    link.__setstate__((head, None))
    head = link
del link, head  # one deallocation must not recurse through the whole chain
print("freed")
"""


def test_long_chain_through_the_cipher_slot_is_freed(run_py):
    """CPython's own containers (and subclass instances, through subtype_dealloc) defer deep
    deallocations with the trashcan; a chain of plain kv_duneth objects must not overflow the
    C stack either."""
    result = run_py(CHAIN_CODE, check=False)
    assert (result.returncode, result.stdout) == (0, "freed\n"), result.stderr[-300:]


def test_self_referencing_cipher_slot_is_collected():
    gc.collect()
    o = K.__new__(K)
    o.__setstate__((o, "passphrase"))  # the object is its own cipher: nothing else holds it
    del o
    assert gc.collect() == 1


class Reducer:
    """A state member whose pickling runs the collector."""

    def __reduce__(self):
        gc.collect()
        return (Reducer, ())


class GCMapping:
    """What the instance dictionary's update receives on loading: a mapping that collects."""

    def keys(self):
        gc.collect()
        return ["a", "b"]

    def __getitem__(self, key):
        gc.collect()
        return key * 2


class CollectingKDF(QuickKDF):
    def derive(self, material):
        gc.collect()
        return super().derive(material)


class CollectingFernet(QuickCipher):
    def __init__(self, key):
        gc.collect()
        super().__init__(key)


@pytest.fixture
def collector_everywhere(restore_globals):
    """The collector runs at almost every allocation, and fully inside the stand-ins; counts
    its runs."""
    restore_globals.update(Fernet=CollectingFernet, PBKDF2HMAC=CollectingKDF)
    runs = []
    callback = lambda phase, info: phase == "start" and runs.append(1)  # noqa: E731
    gc.callbacks.append(callback)
    threshold = gc.get_threshold()
    gc.set_threshold(1, 1000, 1000)  # a young collection at almost every allocation
    try:
        yield runs
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)


def test_collector_during_construction_and_unpickling(collector_everywhere):
    garbage = [through_cipher(Sub.__new__(Sub)) for _ in range(3)]  # uncollected Sub cycles
    del garbage
    a, b = K("passphrase"), Sub(secret_key="passphrase")
    b.tag = "t"
    b.__init__("passphrase")
    token = a.encrypt_string("text")
    assert b.decrypt_string(token) == "text"
    for proto in (0, 2, pickle.HIGHEST_PROTOCOL):
        c = pickle.loads(pickle.dumps(b, proto))
        assert (type(c), c.tag, c.decrypt_string(token)) == (Sub, "t", "text")
    d = pickle.loads(pickle.dumps(Sub.__new__(Sub)))
    d.__setstate__((Reducer(), "x", GCMapping()))
    assert (d.a, d.b) == ("aa", "bb")
    e = pickle.loads(pickle.dumps(d))
    assert type(e.__reduce__()[2][0]) is Reducer and e.b == "bb"
    f = U(Sub, 0x2284821, (Reducer(), None, GCMapping()))
    assert f.a == "aa"
    assert len(collector_everywhere) > 20  # the collector really ran throughout


EXIT_CODE = """
import atexit, gc, os, sys, threading, time
import kelvaro_duneth.kv_duneth as m
from cryptography.fernet import Fernet
from fakes import QuickCipher

K = m.kv_duneth
write = os.write
cipher = Fernet(Fernet.generate_key())

class Sub(K):
    def __del__(self, write=write):
        for call in (lambda: self.decrypt_string(self.encrypt_string("x")),
                     lambda: self.__reduce__(), lambda: self.generate_end_date(1),
                     lambda: self.secret_key_to_string("k", "t")):
            try:
                call()
            except Exception:  # module globals may already be gone at teardown
                pass
        write(1, b"del-" + self.tag.encode() + b"\\n")

def keyed(tag):
    o = Sub.__new__(Sub)
    o.__setstate__((cipher, "pw"))
    o.tag = tag
    return o

main_global = keyed("global")
in_cycle = keyed("cycle"); in_cycle.me = in_cycle
through_cipher = keyed("cipher-cycle"); through_cipher.__setstate__(([through_cipher], "pw"))
plain = K.__new__(K); plain.__setstate__((cipher, "pw"))
plain_cycle = K.__new__(K); plain_cycle.__setstate__(([plain_cycle, plain], None))
m.kept_by_module = keyed("module")
sys.kept_by_sys = keyed("sys")
atexit.register(lambda o=keyed("atexit"): write(1, b"atexit\\n"))

def hammer(o=keyed("thread")):
    # A pure-Python cipher: CPython before 3.14 ends a daemon thread that wakes after shutdown
    # with pthread_exit, which aborts the process inside cryptography's Rust code.
    o.__setstate__((QuickCipher(b"k"), "pw"))
    while True:
        o.decrypt_string(o.encrypt_string("x"))
        o.__reduce__()

for _ in range(2):
    threading.Thread(target=hammer, daemon=True).start()
time.sleep(0.05)
del in_cycle, through_cipher
write(1, b"main done\\n")
"""


def test_objects_alive_at_exit_and_teardown(run_py):
    result = run_py(EXIT_CODE)
    lines = result.stdout.splitlines()
    assert "main done" in lines and "atexit" in lines
    assert result.returncode == 0 and "Fatal" not in result.stderr
    # CPython promises no finaliser for what is alive at exit; those that do run call methods
    # of objects whose module is being torn down.
    assert any(line.startswith("del-") for line in lines)
