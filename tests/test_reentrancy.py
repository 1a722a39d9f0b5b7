"""Python code that runs inside the module's calls: collections, other threads, re-entrant ciphers,
module hooks. The scenarios of adversary.py run in subprocesses, since what they catch is a crash."""
import os
import pickle
import subprocess
import sys
import traceback
from pathlib import Path

import pytest

from model import takes

ADVERSARY = Path(__file__).with_name("adversary.py")
HAMMER = Path(__file__).with_name("ft_hammer.py")  # make test-ft runs it without a GIL
ROUNDS = os.environ.get("KV_ADVERSARY_ROUNDS", "2")  # make test-asan runs more


# Each with the allocator under which a use after free shows most surely in a release build:
# the debug hooks fill freed memory, pymalloc hands it out again at once.
@pytest.mark.parametrize("scenario, allocator", [
    ("collector", "debug"), ("two_threads", "debug"), ("reentrant_cipher", "pymalloc"),
    ("reduce_class", "debug"), ("huge_dates", "pymalloc"),
])
def test_python_code_run_inside_a_call(scenario, allocator):
    env = dict(os.environ, PYTHONMALLOC=os.environ.get("PYTHONMALLOC", allocator))
    result = subprocess.run([sys.executable, str(ADVERSARY), scenario, ROUNDS], env=env,
                            capture_output=True, text=True, timeout=600)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-2000:]


@pytest.mark.parametrize("args", [["0.5"], ["import"]])
def test_threads_on_one_object_and_concurrent_loads(args):
    result = subprocess.run([sys.executable, str(HAMMER), *args], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr[-2000:]


def test_unpickling_function_binds_like_a_python_function(mod, cipher_class):
    function = vars(mod)["__pyx_unpickle_kv_duneth"]

    class Holder:
        unpickle = function

    holder = Holder()
    bound = holder.unpickle
    assert (bound.__self__, bound.__func__) == (holder, function)
    for call in (lambda: holder.unpickle(cipher_class, 0x2284821, None),
                 lambda: bound(cipher_class, 0x2284821, None)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == takes("__pyx_unpickle_kv_duneth", 3, 4)
    assert type(Holder.unpickle(cipher_class, 0x2284821, None)) is cipher_class


@pytest.mark.parametrize("raised, expected", [
    (AttributeError, ImportError), (RuntimeError, RuntimeError),
    (KeyboardInterrupt, KeyboardInterrupt),
])
def test_reading_pickle_error_fails(mod, cipher_class, monkeypatch, raised, expected):
    def module_getattr(name):
        raise (raised if name == "PickleError" else AttributeError)(name)

    monkeypatch.delattr(pickle, "PickleError")
    monkeypatch.setattr(pickle, "__getattr__", module_getattr, raising=False)
    with pytest.raises(expected) as info:
        mod.__pyx_unpickle_kv_duneth(cipher_class, 1, None)
    text = "cannot import name PickleError" if expected is ImportError else "PickleError"
    assert str(info.value) == text
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.tb)
               if f.filename == "<stringsource>"]
    assert entries == [("kelvaro_duneth.kv_duneth.__pyx_unpickle_kv_duneth", 5)]


def test_each_traceback_entry_has_a_frame_of_its_own(unkeyed):
    def last_entry():
        with pytest.raises(AttributeError) as info:
            unkeyed.encrypt_string("x")
        tb = info.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        return tb

    first = last_entry()
    first.tb_frame.clear()
    second = last_entry()
    assert first.tb_frame is not second.tb_frame
    assert traceback.extract_tb(second)[-1][:3] == (
        "kelvaro_duneth/kv_duneth", 103, "kelvaro_duneth.kv_duneth.kv_duneth.encrypt_string")


RETRY_CODE = """
import base64, builtins, datetime, importlib.util, sys, traceback, types, _testcapi
import cryptography.fernet, cryptography.hazmat.primitives.kdf.pbkdf2
spec = importlib.util.find_spec("kelvaro_duneth.kv_duneth")
value_error, nth = ValueError, 0

def builtins_getattr(name):  # the module's look-up of ValueError: its class set-up comes next
    if name != "ValueError":
        raise AttributeError(name)
    builtins.ValueError = value_error  # Python code from here on finds it as usual
    _testcapi.set_nomemory(nth, nth + 1)
    return value_error

class Base64(types.ModuleType):  # its first statement reads base64.__spec__: the window ends
    @property
    def __spec__(self):
        _testcapi.remove_mem_hooks()
        return base64.__spec__

sys.modules["base64"] = stand_in = Base64("base64")
vars(stand_in).update({k: v for k, v in vars(base64).items() if k != "__spec__"})
builtins.__getattr__ = builtins_getattr
for nth in range(1, 1000):  # the nth allocation from there fails, until a load gets through
    try:
        module = importlib.util.module_from_spec(spec)
        del builtins.ValueError
        try:
            spec.loader.exec_module(module)
        finally:
            _testcapi.remove_mem_hooks()
            builtins.ValueError = value_error
        break
    except MemoryError as error:
        traceback.extract_tb(error.__traceback__)
del builtins.__getattr__
K = module.kv_duneth
print(nth > 5, sorted(vars(K)), sorted(vars(type(vars(K)["encrypt_string"]))))
"""


def test_load_retried_after_failures_gives_the_first_loads_class(run_py, cipher_class):
    pytest.importorskip("_testcapi")
    function_type = type(vars(cipher_class)["encrypt_string"])
    expected = f"True {sorted(vars(cipher_class))} {sorted(vars(function_type))}\n"
    assert run_py(RETRY_CODE).stdout == expected


# A failed load keeps nothing of its namespace: a canary bound there dies with it, and the class
# it made ready (reachable through object.__subclasses__()) finds no module names until a retry.
FAILED_LOAD_LEAVES_NOTHING = """
import gc, sys, weakref
canaries = []

class FailsAtFernet:
    def find_spec(self, name, path=None, target=None):
        if name == "cryptography.fernet":
            vars(sys.modules["kelvaro_duneth.kv_duneth"])["canary"] = canary = type("C", (), {})()
            canaries.append(weakref.ref(canary))
            raise ImportError("no fernet here")

sys.meta_path.insert(0, FailsAtFernet())
try:
    import kelvaro_duneth.kv_duneth
except ImportError:
    pass
gc.collect()
K = next(c for c in object.__subclasses__() if c.__qualname__ == "kv_duneth")
try:
    print(K.__new__(K).get_today_date())
except NameError as error:
    print(canaries[0]() is None, error)
sys.meta_path.pop(0)
import kelvaro_duneth.kv_duneth as m
print(m.kv_duneth is K, len(K.__new__(K).get_today_date()))
"""

# A second thread loads the module file under another name from inside its import of
# cryptography.fernet, while the first thread's load waits for that import at its line 6: the
# second load must not wait for the first.
SECOND_NAME_INSIDE_AN_IMPORT = """
import importlib.machinery, importlib.util, sys, threading, time
origin = importlib.util.find_spec("kelvaro_duneth.kv_duneth").origin
holding, second = threading.Event(), []

class LoadsUnderSecondName:  # executes cryptography.fernet in the other thread, holding its lock
    def find_spec(self, name, path=None, target=None):
        if name != "cryptography.fernet" or threading.current_thread() is threading.main_thread():
            return None
        spec = importlib.machinery.PathFinder.find_spec(name, path)
        self.real, spec.loader = spec.loader, self
        return spec

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        holding.set()
        while "timedelta" not in vars(sys.modules.get("kelvaro_duneth.kv_duneth", sys)):
            time.sleep(0.001)  # the first load is executing, past its line 5
        spec = importlib.util.spec_from_file_location("kv_duneth", origin)
        second.append(importlib.util.module_from_spec(spec))
        spec.loader.exec_module(second[0])
        self.real.exec_module(module)

sys.meta_path.insert(0, LoadsUnderSecondName())
importer = threading.Thread(target=lambda: __import__("cryptography.fernet"), daemon=True)
importer.start()
holding.wait()
import kelvaro_duneth.kv_duneth as m
importer.join()
print(second[0] is m, m.kv_duneth("pw").decrypt_data(m.kv_duneth("pw").encrypt_data(b"x")))
"""

# The value of the namespace's __builtins__ replaced while CPython makes a traceback entry's frame
# (3.11 to 3.13 read it unowned there): from a gc callback (3.11), from the __eq__ of a key
# whose hash collides with '__name__' (3.12, 3.13). Harmless elsewhere, so run everywhere.
REPLACED_BUILTINS = """
import builtins, gc, sys
import kelvaro_duneth.kv_duneth as m
obj, ns, fresh = m.kv_duneth.__new__(m.kv_duneth), vars(m), lambda: dict(vars(builtins))
replaced = 0

def replace(*args):
    global replaced
    replaced += 1
    ns["__builtins__"] = fresh()

class Collides:
    __hash__ = lambda self: hash("__name__")
    __eq__ = lambda self, other: replace() or False

if sys.argv[1] == "gc":
    gc.callbacks.append(lambda phase, info: phase == "start" and replace())
    gc.set_threshold(1)
else:
    name = ns.pop("__name__")
    ns[Collides()], ns["__name__"] = None, name
ns["__builtins__"] = fresh()
for _ in range(500):
    try:
        obj.encrypt_string("x")  # unkeyed: fails at line 103, adding one entry
    except AttributeError as error:
        assert error.__traceback__.tb_next.tb_frame.f_globals is ns
gc.set_threshold(700)
print(replaced > 0)
"""


@pytest.mark.parametrize("code, args, expected", [
    (FAILED_LOAD_LEAVES_NOTHING, [], "True name 'datetime' is not defined\nTrue 10"),
    (SECOND_NAME_INSIDE_AN_IMPORT, [], "True b'x'"),
    (REPLACED_BUILTINS, ["gc"], "True"),
    (REPLACED_BUILTINS, ["name"], "True"),
], ids=["failed_load", "second_name_inside_an_import", "builtins_from_gc", "builtins_from_eq"])
def test_cached_state_replaced_under_a_call(code, args, expected):
    env = dict(os.environ, PYTHONMALLOC=os.environ.get("PYTHONMALLOC", "pymalloc"))
    result = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                            timeout=120, env=env)
    assert (result.returncode, result.stdout) == (0, expected + "\n"), result.stderr[-2000:]


# Recursion that comes back into the module with no Python frame in between: a cipher whose
# methods are the object's own, datetime.now bound to the object's date methods, a __dict__
# whose update is __setstate_cython__ with a deeply nested state.
RECURSION = """
import sys, traceback, types
import kelvaro_duneth.kv_duneth as m
K, method = m.kv_duneth, sys.argv[1]
obj = K.__new__(K)
obj.__setstate__((types.SimpleNamespace(encrypt=obj.encrypt_data, decrypt=obj.decrypt_data), ""))
m.datetime = types.SimpleNamespace(now=getattr(obj, method, None))
args = {"encrypt_data": (b"x",), "decrypt_data": (b"x",), "encrypt_string": ("x",),
        "decrypt_string": ("x",)}.get(method, ())
if method == "__setstate_cython__":
    class Sub(K):
        pass
    obj, state = Sub.__new__(Sub), None
    for _ in range(200000):
        state = (None, None, state)
    obj.__dict__ = type("Dict", (dict,), {})()
    obj.__dict__.update = obj.__setstate_cython__
    args = (state,)
try:
    print(getattr(obj, method)(*args))
except RecursionError as error:
    print(type(error).__name__, traceback.extract_tb(error.__traceback__)[-1][1:3])
"""


@pytest.mark.parametrize("method, expected", [
    ("encrypt_data", "RecursionError (114, 'kelvaro_duneth.kv_duneth.kv_duneth.encrypt_data')"),
    ("encrypt_string", "RecursionError (114, 'kelvaro_duneth.kv_duneth.kv_duneth.encrypt_data')"),
    ("decrypt_data", "None"),
    ("decrypt_string", "None"),
    ("get_today_date", "RecursionError (81, 'kelvaro_duneth.kv_duneth.kv_duneth.get_today_date')"),
    ("generate_end_date",
     "RecursionError (64, 'kelvaro_duneth.kv_duneth.kv_duneth.generate_end_date')"),
    ("__setstate_cython__",
     "RecursionError (14, 'kelvaro_duneth.kv_duneth.__pyx_unpickle_kv_duneth__set_state')"),
])
def test_recursion_through_the_module_meets_the_limit(method, expected):
    result = subprocess.run([sys.executable, "-c", RECURSION, method], capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, expected + "\n"), result.stderr[-2000:]


def test_pickle_error_that_is_no_exception(mod, cipher_class, monkeypatch):
    monkeypatch.setattr(pickle, "PickleError", lambda message: message)
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$") as info:
        mod.__pyx_unpickle_kv_duneth(cipher_class, 1, None)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.tb)
               if f.filename == "<stringsource>"]
    assert entries == [("kelvaro_duneth.kv_duneth.__pyx_unpickle_kv_duneth", 6)]
