"""Construction of kv_duneth objects and the key derivation behind their cipher."""
import traceback

import pytest
from cryptography.hazmat.primitives import hashes

from helpers import ITERATIONS, KEY_LENGTH, OWN_SALT, PASSPHRASE, derived_key
from model import multiple, takes, unexpected, wrong_type

SRC, QUAL = "kelvaro_duneth/kv_duneth", "kelvaro_duneth.kv_duneth.kv_duneth."
CIPHER = object()  # what the recording Fernet stand-in returns
StrSub = type("StrSub", (str,), {})


@pytest.fixture
def calls(mod, restore_globals):
    """Records what the derivation hands to PBKDF2HMAC (still the real one) and to Fernet."""
    record, real_kdf = [], mod.PBKDF2HMAC

    def kdf(*args, **kwargs):
        record.append((args, kwargs))
        return real_kdf(*args, **kwargs)
    restore_globals.update(PBKDF2HMAC=kdf, Fernet=lambda *a, **kw: record.append((a, kw)) or CIPHER)
    return record


def half_keyed(cipher_class):
    o = cipher_class.__new__(cipher_class)
    o.__setstate__((CIPHER, "old"))
    return o


@pytest.mark.parametrize("passphrase", ["", PASSPHRASE, "p\u00e4ss w\u00f6rd \u2713 \U0001d11e"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_derived_key(cipher_class, calls, passphrase, by_keyword):
    o = cipher_class(secret_key=passphrase) if by_keyword else cipher_class(passphrase)
    (kdf_args, kdf_kwargs), (args, kwargs) = calls
    assert kdf_args == () and list(kdf_kwargs) == ["algorithm", "length", "salt", "iterations"]
    assert type(kdf_kwargs["algorithm"]) is hashes.SHA256
    expected = (KEY_LENGTH, OWN_SALT, ITERATIONS)
    assert (kdf_kwargs["length"], kdf_kwargs["salt"], kdf_kwargs["iterations"]) == expected
    key = derived_key(OWN_SALT, passphrase)
    assert kwargs == {} and args == (key,) and type(args[0]) is bytes and len(key) == 44
    fernet, secret_key = o.__reduce__()[2]
    assert fernet is CIPHER and type(secret_key) is str and secret_key == passphrase


def test_equal_passphrases_share_tokens(cipher_class, obj, run_py):
    token = obj.encrypt_string("shared")
    code = f"import kelvaro_duneth.kv_duneth as m; print(m.kv_duneth({PASSPHRASE!r}).decrypt_string({token!r}))"
    assert run_py(code).stdout == "shared\n"
    assert cipher_class("another passphrase").decrypt_string(token) is None


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, takes("__init__", 1, 0)), (("a", "b"), {}, takes("__init__", 1, 2)),
    (("a",), {"secret_key": "b"}, multiple("__init__", "secret_key")),
    (("a",), {"passphrase": "b"}, unexpected("__init__", "passphrase")),
    ((b"pw",), {}, wrong_type("secret_key", "str", "bytes")),
    ((StrSub("pw"),), {}, wrong_type("secret_key", "str", "StrSub")),
    ((1,), {}, wrong_type("secret_key", "str", "int")),
])
def test_refused_arguments_change_nothing(cipher_class, calls, args, kwargs, message):
    existing = half_keyed(cipher_class)
    for call in (cipher_class, existing.__init__):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert str(info.value) == message
        # A binding failure reports the first line; a failed type test adds no entry.
        own = [f.lineno for f in traceback.extract_tb(info.tb) if f.filename == SRC]
        assert own == ([] if message.startswith("Argument") else [14])
    assert calls == [] and existing.__reduce__()[2] == (CIPHER, "old")


@pytest.mark.parametrize("passphrase, missing, exc, message, line", [
    (None, None, AttributeError, "'NoneType' object has no attribute 'encode'", 26),
    ("\ud800", None, UnicodeEncodeError, None, 26),
    ("pw", "PBKDF2HMAC", NameError, "name 'PBKDF2HMAC' is not defined", 20),
    ("pw", "hashes", NameError, "name 'hashes' is not defined", 21),
    ("pw", "base64", NameError, "name 'base64' is not defined", 26),
    ("pw", "Fernet", NameError, "name 'Fernet' is not defined", 27),
])
def test_failed_derivation_half_keys(cipher_class, restore_globals, passphrase, missing, exc, message, line):
    if missing:
        del restore_globals[missing]
    existing = half_keyed(cipher_class)
    for call in (cipher_class, existing.__init__):
        with pytest.raises(exc) as info:
            call(passphrase)
        assert message is None or str(info.value) == message
        entries = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)]
        assert entries[-2:] == [(QUAL + "__init__", SRC, 16), (QUAL + "_create_fernet", SRC, line)]
    state = existing.__reduce__()[2]
    assert state[0] is CIPHER and state[1] == passphrase


def test_reinit_rekeys_and_failed_reinit_keeps_cipher(cipher_class):
    o = cipher_class("first")
    first_token = o.encrypt_string("one")
    assert o.__init__("second") is None and o.decrypt_string(first_token) is None
    second_token, second_cipher = o.encrypt_string("two"), o.__reduce__()[2][0]
    with pytest.raises(AttributeError):
        o.__init__(None)
    assert o.decrypt_string(second_token) == "two"
    assert o.__reduce__()[2] == (second_cipher, None)
