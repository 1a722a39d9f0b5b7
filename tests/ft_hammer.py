"""Eight threads on one object without a GIL: encryption and decryption of both kinds, pickling,
re-initialisation and __setstate__ at once, with every cipher's life counted.

Run as a script, `python ft_hammer.py SECONDS [RUNS]`, on any interpreter (on a free-threaded
one with the GIL off, which is where it matters); prints one line per run and exits non-zero
when a thread failed or a cipher was leaked or released twice. `python ft_hammer.py import`
loads the module under two names from two threads at once instead.
"""
import importlib.util
import pickle
import sys
import threading
import time

from fakes import QuickCipher, QuickKDF

THREADS = 8


class Lifetimes:
    """Cipher births and deaths, counted under a lock: a reference released twice shows as a
    death too many (or a crash), one lost as a death too few."""
    lock = threading.RLock()  # a finaliser may run while this thread holds it
    made = died = 0

    @classmethod
    def count(cls, born):
        with cls.lock:
            if born:
                cls.made += 1
            else:
                cls.died += 1


class CountedCipher(QuickCipher):
    def __init__(self, key):
        super().__init__(key)
        Lifetimes.count(True)

    def __del__(self):
        Lifetimes.count(False)


def hammer(m, seconds):
    shared = m.kv_duneth("passphrase")
    deadline = time.monotonic() + seconds
    errors, calls = [], [0] * THREADS

    def work(i):
        try:
            n = 0
            while time.monotonic() < deadline:
                n += 1
                if i % 4 == 0:  # re-keying threads: two derive, two restore state
                    shared.__init__(("passphrase", "other")[n % 2])
                    continue
                if i % 4 == 1:
                    for k in range(20):
                        shared.__setstate__((CountedCipher(b"k%d" % (k % 3)), "p"))
                    continue
                token = shared.encrypt_string("Grüße")
                assert shared.decrypt_string(token) in ("Grüße", None)
                assert shared.decrypt_data(shared.encrypt_data(b"\0x")) in (b"\0x", None)
                state = shared.__reduce__()[2]
                assert type(state[1]) is str
                copy = pickle.loads(pickle.dumps(shared))
                assert copy.decrypt_string(copy.encrypt_string("x")) == "x"
            calls[i] = n
        except BaseException as exc:  # reported below
            errors.append(repr(exc))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors, sum(calls)


def run_hammer(seconds, runs):
    import gc
    import kelvaro_duneth.kv_duneth as m
    m.Fernet, m.PBKDF2HMAC = CountedCipher, QuickKDF
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    failed = False
    for run in range(runs):
        errors, calls = hammer(m, seconds)
        gc.collect()
        leaked = Lifetimes.made - Lifetimes.died
        print(f"run {run + 1}: {THREADS} threads x {seconds} s, GIL {'on' if gil else 'off'}: "
              f"{calls} rounds, {Lifetimes.made} ciphers made, {leaked} alive, "
              f"{len(errors)} errors {errors[:3]}")
        failed |= bool(errors) or leaked != 0
    return failed


def run_import():
    """Two threads load the module at once, under its own name and as top-level kv_duneth."""
    import glob
    package = importlib.util.find_spec("kelvaro_duneth").submodule_search_locations[0]
    origin = glob.glob(package + "/kv_duneth.*.so")[0]
    barrier, results = threading.Barrier(2), [None, None]

    def own_name():
        barrier.wait()
        results[0] = importlib.import_module("kelvaro_duneth.kv_duneth")

    def other_name():
        other = importlib.util.spec_from_file_location("kv_duneth", origin)
        barrier.wait()
        try:
            module = importlib.util.module_from_spec(other)
            other.loader.exec_module(module)
            results[1] = module
        except RuntimeError as exc:  # a second module object, made before the first was done
            results[1] = exc

    threads = [threading.Thread(target=own_name), threading.Thread(target=other_name)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    module = results[0]
    ok = (results[1] is module or isinstance(results[1], RuntimeError)) and \
        module.kv_duneth("pw").decrypt_string(module.kv_duneth("pw").encrypt_string("x")) == "x"
    print("import:", "same module" if results[1] is module else repr(results[1]), ok)
    return not ok


if __name__ == "__main__":
    if sys.argv[1] == "import":
        sys.exit(run_import())
    sys.exit(run_hammer(float(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 1))
