"""Shared fixtures: the installed module, one keyed object, and a subprocess runner."""
import pytest

import kelvaro_duneth.kv_duneth as kv_module
from helpers import PASSPHRASE, run_python

@pytest.fixture(scope="session")
def mod():
    return kv_module


@pytest.fixture(scope="session")
def cipher_class():
    return kv_module.kv_duneth


@pytest.fixture(scope="session")
def obj():
    """One keyed object for the whole run: each construction costs a full key derivation."""
    return kv_module.kv_duneth(PASSPHRASE)


@pytest.fixture
def unkeyed(cipher_class):
    return cipher_class.__new__(cipher_class)


@pytest.fixture
def restore_globals(mod):
    """Lets a test rebind module-level names; puts them back afterwards."""
    saved = dict(vars(mod))
    yield vars(mod)
    for name in list(vars(mod)):
        if name not in saved:
            del vars(mod)[name]
    vars(mod).update(saved)


@pytest.fixture(scope="session")
def run_py():
    return run_python
