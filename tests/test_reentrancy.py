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


def test_unpickling_function_binds_like_a_python_function(mod, K):
    function = vars(mod)["__pyx_unpickle_kv_duneth"]

    class Holder:
        unpickle = function

    holder = Holder()
    bound = holder.unpickle
    assert (bound.__self__, bound.__func__) == (holder, function)
    for call in (lambda: holder.unpickle(K, 0x2284821, None), lambda: bound(K, 0x2284821, None)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == takes("__pyx_unpickle_kv_duneth", 3, 4)
    assert type(Holder.unpickle(K, 0x2284821, None)) is K


@pytest.mark.parametrize("raised, expected", [
    (AttributeError, ImportError), (RuntimeError, RuntimeError),
    (KeyboardInterrupt, KeyboardInterrupt),
])
def test_reading_pickle_error_fails(mod, K, monkeypatch, raised, expected):
    def module_getattr(name):
        raise (raised if name == "PickleError" else AttributeError)(name)

    monkeypatch.delattr(pickle, "PickleError")
    monkeypatch.setattr(pickle, "__getattr__", module_getattr, raising=False)
    with pytest.raises(expected) as info:
        mod.__pyx_unpickle_kv_duneth(K, 1, None)
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


def test_load_retried_after_failures_gives_the_first_loads_class(run_py, K):
    pytest.importorskip("_testcapi")
    function_type = type(vars(K)["encrypt_string"])
    expected = f"True {sorted(vars(K))} {sorted(vars(function_type))}\n"
    assert run_py(RETRY_CODE).stdout == expected
