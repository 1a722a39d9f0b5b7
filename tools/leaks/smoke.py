"""A short run over everything kelvaro_duneth.kv_duneth does, sized for valgrind memcheck.

First with the real cryptography package (two key derivations, encryption both ways, key
strings, pickling, collection of cycles), then the suite's tests of the module's methods and
error paths, once each, but those that start an interpreter (run_py) or build wheels (slow).
Exits non-zero if any outcome is unexpected.

    PYTHONMALLOC=malloc valgrind --suppressions=... python3 tools/leaks/smoke.py [PYTEST-ARG...]
"""
import gc
import os
import pickle
import sys

import pytest

import kelvaro_duneth.kv_duneth as m

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "..", "tests")
FILES = ["test_cipher_object.py", "test_encryption.py", "test_persistence.py", "test_calendar.py",
         "test_module_frame.py"]


def real_cryptography():
    from cryptography.fernet import Fernet

    K = m.kv_duneth
    Sub = type("Sub", (K,), {})
    a, b = K("correct horse battery staple"), Sub("correct horse battery staple")
    b.note = "subclass"
    for text in ("", "plain", "Grüße ✓" * 50):
        token = a.encrypt_string(text)
        assert b.decrypt_string(token) == text
        assert a.decrypt_data(token.encode()) == text.encode()
        assert a.decrypt_string(token[:-4] + "AAAA") is None
    key = a.string_to_secret_key("shared")
    shared = Fernet(key.encode()).encrypt(b"hi").decode()
    assert a.secret_key_to_string(key, shared) == "hi"
    assert a.secret_key_to_string("short", shared) is None
    copy_a = pickle.loads(pickle.dumps(a))
    assert copy_a.decrypt_string(a.encrypt_string("p")) == "p"
    b.me = b
    a.__setstate__((b, None))  # a -> b -> b: freed only by the collector
    del a, b, copy_a
    return gc.collect()


class InProcessOnly:
    @staticmethod
    def pytest_collection_modifyitems(config, items):
        config.hook.pytest_deselected(items=[i for i in items if "run_py" in i.fixturenames])
        items[:] = [i for i in items if "run_py" not in i.fixturenames]


def main(args):
    print(f"module: {m.__file__}")
    print(f"real cryptography: ok, {real_cryptography()} objects collected")
    os.chdir(TESTS)
    return pytest.main(["-q", "-p", "no:cacheprovider", "-m", "not slow", *FILES, *args],
                       plugins=[InProcessOnly()])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
