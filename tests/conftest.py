"""Shared fixtures: the installed module, one keyed object, and a subprocess runner."""
import os
import subprocess
import sys
import textwrap

import pytest

import kelvaro_duneth.kv_duneth as kv_module

PASSPHRASE = "correct horse battery staple"


@pytest.fixture(scope="session")
def mod():
    return kv_module


@pytest.fixture(scope="session")
def K():
    return kv_module.kv_duneth


@pytest.fixture(scope="session")
def obj():
    """One keyed object for the whole run: each construction costs a full key derivation."""
    return kv_module.kv_duneth(PASSPHRASE)


@pytest.fixture
def unkeyed(K):
    return K.__new__(K)


@pytest.fixture
def restore_globals(mod):
    """Lets a test rebind module-level names; puts them back afterwards."""
    saved = dict(vars(mod))
    yield vars(mod)
    for name in list(vars(mod)):
        if name not in saved:
            del vars(mod)[name]
    vars(mod).update(saved)


def run_python(code, *, env=None, check=True):
    """Runs `code` in a fresh interpreter (the one running the tests); returns the result."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, env=full_env, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture(scope="session")
def run_py():
    return run_python
