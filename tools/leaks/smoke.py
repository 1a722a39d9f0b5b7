"""A short run over everything kelvaro_duneth.kv_duneth does, sized for valgrind memcheck.

First with the real cryptography package (two key derivations, encryption both ways, key
strings, pickling, collection of cycles), then every scenario of scenarios.py a few times with
the cheap stand-ins. Prints one line per part; exits non-zero if any outcome is unexpected.

    PYTHONMALLOC=malloc valgrind --suppressions=... python3 tools/leaks/smoke.py [--repeat N]
"""
import argparse
import gc
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios  # noqa: E402
from scenarios import K, Sub  # noqa: E402


def real_cryptography():
    from cryptography.fernet import Fernet

    a, b = K("correct horse battery staple"), Sub("correct horse battery staple")
    b.note = "subclass"
    for text in ("", "plain", "Grüße ✓" * 50):
        token = a.encrypt_string(text)
        assert b.decrypt_string(token) == text
        assert a.decrypt_data(token.encode()) == text.encode()
        assert a.decrypt_string(token[:-4] + "AAAA") is None
    assert a.decrypt_data(a.encrypt_data(b"\x00\xff")) == b"\x00\xff"
    key = a.string_to_secret_key("shared")
    shared = Fernet(key.encode()).encrypt(b"hi").decode()
    assert a.secret_key_to_string(key, shared) == "hi"
    assert a.secret_key_to_string(key, a.encrypt_string("x")) is None
    assert a.secret_key_to_string("short", shared) is None
    copy_a, copy_b = pickle.loads(pickle.dumps(a)), pickle.loads(pickle.dumps(b))
    assert copy_a.decrypt_string(a.encrypt_string("p")) == "p" and copy_b.note == "subclass"
    for bad in (None, "\ud800"):
        try:
            a.__init__(bad)
        except (AttributeError, UnicodeEncodeError):
            pass
        else:
            raise AssertionError("re-initialisation with a bad passphrase succeeded")
    assert a.decrypt_string(b.encrypt_string("half-keyed")) == "half-keyed"
    b.me = b
    a.__setstate__((b, None))  # a -> b -> b: freed only by the collector
    del a, b, copy_a, copy_b
    return gc.collect()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"module: {scenarios.m.__file__}")
    print(f"real cryptography: ok, {real_cryptography()} objects collected")
    with scenarios.install_stand_ins():
        table = scenarios.build()
        count = len(table)
        for scenario in table:
            with scenario.context():
                for _ in range(args.repeat):
                    scenario.once()
        del table
    print(f"stand-ins: {count} scenarios x {args.repeat}: ok, "
          f"{gc.collect()} objects collected")


if __name__ == "__main__":
    main()
