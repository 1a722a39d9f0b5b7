"""Text and byte encryption, and the key-string helpers: round trips, interop, failures, look-ups."""
import builtins
import re
import sys
import traceback
from types import SimpleNamespace

import pytest
from cryptography.fernet import Fernet

from helpers import ITERATIONS, KEY_LENGTH, KEY_STRING_SALT, OWN_SALT, PASSPHRASE, derived_key
from model import multiple, takes, unexpected, wrong_type

SRC = "kelvaro_duneth/kv_duneth"
QUAL = "kelvaro_duneth.kv_duneth.kv_duneth."
DEL = object()
TEXTS = ["", "plain ascii", "ü€𝄞 ßüß", "x" * (1 << 20), "é" * (1 << 19)]



def stubbed(cipher_class, **methods):
    """An unkeyed object whose cipher slot holds a stand-in with the given methods."""
    o = cipher_class.__new__(cipher_class)
    o.__setstate__((SimpleNamespace(**methods), "x"))
    return o


def raiser(exc):
    def f(*args):
        raise exc
    return f


StrSub, BytesSub = type("StrSub", (str,), {}), type("BytesSub", (bytes,), {})


@pytest.fixture(scope="module")
def own():
    return Fernet(derived_key())


@pytest.fixture(scope="module")
def tok(obj):
    foreign = Fernet(Fernet.generate_key())
    s = obj.encrypt_string("secret")
    mid = len(s) // 2
    return dict(s=s, d=obj.encrypt_data(b"secret"), foreign=foreign.encrypt(b"secret"),
                altered=s[:mid] + ("A" if s[mid] != "A" else "B") + s[mid + 1:],
                bad_utf8=obj.encrypt_data(b"\xff\xfe"), ks=derived_key(KEY_STRING_SALT).decode())


@pytest.mark.parametrize("text", TEXTS, ids=["empty", "ascii", "non-ascii", "1MiB", "1MiB-2byte"])
def test_round_trips_and_token_forms(obj, own, text):
    t1, t2 = obj.encrypt_string(text), obj.encrypt_string(text)
    assert type(t1) is str and t1 != t2
    assert obj.decrypt_string(t1) == obj.decrypt_string(t2) == text
    d1, d2 = obj.encrypt_data(text.encode()), obj.encrypt_data(text.encode())
    assert type(d1) is bytes and d1 != d2
    assert obj.decrypt_data(d1) == obj.decrypt_data(d2) == text.encode()
    # Text and byte tokens are the same characters; the plaintext is the UTF-8 bytes.
    assert obj.decrypt_data(t1.encode()) == text.encode()
    assert obj.decrypt_string(d1.decode()) == text
    # Interop with a Fernet built from the same derivation, both ways.
    assert own.decrypt(t1.encode()) == own.decrypt(d1) == text.encode()
    assert obj.decrypt_string(own.encrypt(text.encode()).decode()) == text
    assert obj.decrypt_data(own.encrypt(text.encode())) == text.encode()


def test_old_tokens_and_other_processes(obj, own, tok, run_py):
    assert obj.decrypt_data(own.encrypt_at_time(b"old", 0)) == b"old"
    assert obj.decrypt_data(tok["bad_utf8"]) == b"\xff\xfe"
    out = run_py(f"""
        import kelvaro_duneth.kv_duneth as m
        o = m.kv_duneth({PASSPHRASE!r})
        print(o.encrypt_string("über"), o.encrypt_data(b"\\x00\\xff").decode())
    """).stdout.split()
    assert obj.decrypt_string(out[0]) == "über" and obj.decrypt_data(out[1].encode()) == b"\x00\xff"


@pytest.mark.parametrize("pw", ["", "ü€𝄞", PASSPHRASE])
def test_key_strings_match_hashlib_and_work_with_fernet(unkeyed, obj, pw):
    ks = unkeyed.string_to_secret_key(pw)
    assert ks == derived_key(KEY_STRING_SALT, pw).decode() and len(ks) == 44 and ks.endswith("=")
    assert ks != derived_key(OWN_SALT, pw).decode()
    token = Fernet(ks.encode()).encrypt("héllo".encode()).decode()
    assert obj.secret_key_to_string(ks, token) == unkeyed.secret_key_to_string(ks, token) == "héllo"


def test_secret_key_to_string_salt_and_keywords(unkeyed, obj, tok):
    # The object's tokens are under the other salt's key: refused with the key string, read with the own key.
    assert unkeyed.secret_key_to_string(tok["ks"], tok["s"]) is None
    assert unkeyed.secret_key_to_string(derived_key().decode(), tok["s"]) == "secret"
    ks, tk = tok["ks"], Fernet(tok["ks"].encode()).encrypt(b"kw").decode()
    f = unkeyed.secret_key_to_string
    assert (f(ks, tk) == f(secret_key=ks, encrypted_string=tk) == f(encrypted_string=tk, secret_key=ks)
            == f(ks, encrypted_string=tk) == f(**{"".join(["secret", "_key"]): ks, "encrypted_string": tk})
            == "kw")
    assert obj.decrypt_string(encrypted_string=tok["s"]) == "secret"
    assert obj.decrypt_data(encrypted_data=obj.encrypt_data(data=b"kw")) == b"kw"
    assert obj.decrypt_string(obj.encrypt_string(input_string="kw")) == "kw"


FAILS = {
    "wrong-key-s": ("decrypt_string", lambda t: (t["foreign"].decode(),)),
    "wrong-key-d": ("decrypt_data", lambda t: (t["foreign"],)),
    "altered-s": ("decrypt_string", lambda t: (t["altered"],)),
    "altered-d": ("decrypt_data", lambda t: (t["altered"].encode(),)),
    "truncated-s": ("decrypt_string", lambda t: (t["s"][:-5],)),
    "truncated-d": ("decrypt_data", lambda t: (t["d"][:-5],)),
    "not-token-s": ("decrypt_string", lambda t: ("hello there",)),
    "not-token-d": ("decrypt_data", lambda t: (b"hello there",)),
    "empty-s": ("decrypt_string", lambda t: ("",)),
    "empty-d": ("decrypt_data", lambda t: (b"",)),
    "none-s": ("decrypt_string", lambda t: (None,)),
    "none-d": ("decrypt_data", lambda t: (None,)),
    "surrogate-s": ("decrypt_string", lambda t: ("\ud800",)),
    "bad-utf8-s": ("decrypt_string", lambda t: (t["bad_utf8"].decode(),)),
    "k2s-wrong-key": ("secret_key_to_string", lambda t: (Fernet.generate_key().decode(), t["s"])),
    "k2s-short-key": ("secret_key_to_string", lambda t: (t["ks"][:40], t["s"])),
    "k2s-not-key": ("secret_key_to_string", lambda t: ("not a key", t["s"])),
    "k2s-none-key": ("secret_key_to_string", lambda t: (None, t["s"])),
    "k2s-none-token": ("secret_key_to_string", lambda t: (t["ks"], None)),
    "k2s-truncated": ("secret_key_to_string", lambda t: (t["ks"], Fernet(t["ks"].encode()).encrypt(b"x").decode()[:-3])),
    "k2s-bad-utf8": ("secret_key_to_string", lambda t: (t["ks"], Fernet(t["ks"].encode()).encrypt(b"\xff").decode())),
}


@pytest.mark.parametrize("case", FAILS)
def test_failed_decryption_gives_none_and_keeps_handled_exception(obj, tok, case):
    method, args = FAILS[case]
    assert getattr(obj, method)(*args(tok)) is None
    assert sys.exc_info() == (None, None, None)
    try:
        raise ValueError("being handled")
    except ValueError as handled:
        assert getattr(obj, method)(*args(tok)) is None
        assert sys.exc_info()[1] is handled


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_in_the_body_are_swallowed(cipher_class, obj, restore_globals, tok, exc):
    o = stubbed(cipher_class, decrypt=raiser(exc))
    try:
        raise ValueError("being handled")
    except ValueError as handled:
        assert o.decrypt_string("t") is None and o.decrypt_data(b"t") is None
        restore_globals["Fernet"] = raiser(exc)
        assert obj.secret_key_to_string(tok["ks"], tok["s"]) is None
        assert sys.exc_info()[1] is handled


@pytest.mark.parametrize("method, args, kwargs, exc, text", [
    ("decrypt_string", (b"x",), {}, TypeError, wrong_type("encrypted_string", "str", "bytes")),
    ("encrypt_data", (bytearray(b"x"),), {}, TypeError, wrong_type("data", "bytes", "bytearray")),
    ("encrypt_string", (StrSub("x"),), {}, TypeError, wrong_type("input_string", "str", "StrSub")),
    ("decrypt_string", (StrSub("x"),), {}, TypeError, wrong_type("encrypted_string", "str", "StrSub")),
    ("decrypt_data", ("x",), {}, TypeError, wrong_type("encrypted_data", "bytes", "str")),
    ("decrypt_data", (BytesSub(b"x"),), {}, TypeError, wrong_type("encrypted_data", "bytes", "BytesSub")),
    ("decrypt_string", (), {}, TypeError, takes("decrypt_string", 1, 0)),
    ("encrypt_data", (b"a", b"b"), {}, TypeError, takes("encrypt_data", 1, 2)),
    ("decrypt_data", (b"",), {"token": b""}, TypeError, unexpected("decrypt_data", "token")),
    ("encrypt_string", ("a",), {"input_string": "b"}, TypeError, multiple("encrypt_string", "input_string")),
    ("secret_key_to_string", (b"k", "t"), {}, TypeError, wrong_type("secret_key", "str", "bytes")),
    ("secret_key_to_string", ("k", b"t"), {}, TypeError, wrong_type("encrypted_string", "str", "bytes")),
    ("secret_key_to_string", ("k",), {}, TypeError, takes("secret_key_to_string", 2, 1)),
    ("string_to_secret_key", (b"p",), {}, TypeError, wrong_type("input_string", "str", "bytes")),
    ("string_to_secret_key", (StrSub("p"),), {}, TypeError, wrong_type("input_string", "str", "StrSub")),
    ("encrypt_string", (None,), {}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    ("string_to_secret_key", (None,), {}, AttributeError, "'NoneType' object has no attribute 'encode'"),
])
def test_errors_that_reach_the_caller(obj, method, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        getattr(obj, method)(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == text


def test_encrypt_data_none_raises_the_ciphers_own_error(obj, own):
    with pytest.raises(TypeError) as expected:
        own.encrypt(None)
    with pytest.raises(TypeError, match=re.escape(str(expected.value))):
        obj.encrypt_data(None)
    with pytest.raises(UnicodeEncodeError):
        obj.encrypt_string("\ud800")


@pytest.mark.parametrize("call", [lambda o: o.encrypt_string("a"), lambda o: o.encrypt_string(None),
                                  lambda o: o.encrypt_data(b"a"), lambda o: o.encrypt_data(None)])
def test_unkeyed_object(unkeyed, tok, call):
    with pytest.raises(AttributeError, match=re.escape("'NoneType' object has no attribute 'encrypt'")):
        call(unkeyed)
    assert {unkeyed.decrypt_string(tok["s"]), unkeyed.decrypt_string(None),
            unkeyed.decrypt_data(tok["d"]), unkeyed.decrypt_data(None)} == {None}


def test_stand_in_cipher_is_used_through_its_methods(cipher_class):
    sentinel, seen = object(), []

    class Decodes:
        def decode(self):
            return "decoded by the object"

    o = stubbed(cipher_class, encrypt=bytes, decrypt=bytes)
    assert o.encrypt_string("héllo") == "héllo" and o.decrypt_string("tøk") == "tøk"
    assert o.encrypt_data(b"\xff") == b"\xff" and o.decrypt_data(b"\xff") == b"\xff"
    record = lambda d: seen.append(d) or sentinel  # noqa: E731
    o = stubbed(cipher_class, encrypt=record, decrypt=record)
    assert o.encrypt_data(None) is sentinel and o.decrypt_data(None) is sentinel and seen == [None, None]
    assert o.decrypt_string(None) is None and seen == [None, None]
    o = stubbed(cipher_class, encrypt=lambda d: Decodes(), decrypt=lambda d: Decodes())
    assert o.encrypt_string("a") == o.decrypt_string("b") == "decoded by the object"


def test_module_names_are_looked_up_at_each_call(obj, tok, restore_globals, monkeypatch):
    g, token = restore_globals, Fernet(tok["ks"].encode()).encrypt(b"real").decode()
    assert obj.secret_key_to_string(tok["ks"], token) == "real"
    fake = lambda key: SimpleNamespace(decrypt=lambda t: key + b"|" + t)  # noqa: E731
    g["Fernet"] = fake
    assert obj.secret_key_to_string("kü", "tok") == "kü|tok"
    del g["Fernet"]
    assert obj.secret_key_to_string(tok["ks"], token) is None
    monkeypatch.setattr(builtins, "Fernet", fake, raising=False)  # found among the builtins
    assert obj.secret_key_to_string("k", "t") == "k|t"
    calls = []
    g["PBKDF2HMAC"] = lambda **kw: calls.append(kw) or SimpleNamespace(derive=lambda pw: b"D:" + pw)
    g["hashes"] = SimpleNamespace(SHA256=lambda: "sha")
    g["base64"] = SimpleNamespace(urlsafe_b64encode=lambda b: b"<" + b + b">")
    assert obj.string_to_secret_key("pé") == "<D:pé>"
    assert calls == [dict(algorithm="sha", length=KEY_LENGTH, salt=KEY_STRING_SALT, iterations=ITERATIONS)]


@pytest.mark.parametrize("patch, call, exc, func, line", [
    ({}, lambda K, o: K.__new__(K).encrypt_string("a"), AttributeError, "encrypt_string", 103),
    ({}, lambda K, o: o.encrypt_string(None), AttributeError, "encrypt_string", 103),
    ({}, lambda K, o: stubbed(K, encrypt=lambda b: b"\xff").encrypt_string("a"), UnicodeDecodeError, "encrypt_string", 104),
    ({}, lambda K, o: K.__new__(K).encrypt_data(b"a"), AttributeError, "encrypt_data", 114),
    ({}, lambda K, o: stubbed(K, encrypt=int).encrypt_data(b"z"), ValueError, "encrypt_data", 114),
    ({}, lambda K, o: o.string_to_secret_key(None), AttributeError, "string_to_secret_key", 91),
    ({"PBKDF2HMAC": DEL}, lambda K, o: o.string_to_secret_key("p"), NameError, "string_to_secret_key", 85),
    ({"hashes": DEL}, lambda K, o: o.string_to_secret_key("p"), NameError, "string_to_secret_key", 86),
    ({"base64": DEL}, lambda K, o: o.string_to_secret_key("p"), NameError, "string_to_secret_key", 91),
    ({}, lambda K, o: stubbed(K, encrypt=lambda b: 42).encrypt_string("a"), AttributeError, "encrypt_string", 104),
    ({"base64": SimpleNamespace(urlsafe_b64encode=lambda b: b"\xff")}, lambda K, o: o.string_to_secret_key("p"),
     UnicodeDecodeError, "string_to_secret_key", 92),
    ({}, lambda K, o: o.encrypt_string(), TypeError, "encrypt_string", 102),
    ({}, lambda K, o: o.secret_key_to_string("k"), TypeError, "secret_key_to_string", 94),
    ({}, lambda K, o: o.decrypt_string(b"t"), TypeError, None, None),
])
def test_traceback_entries(cipher_class, obj, restore_globals, patch, call, exc, func, line):
    for name, value in patch.items():
        if value is DEL:
            del restore_globals[name]
        else:
            restore_globals[name] = value
    with pytest.raises(exc) as info:
        call(cipher_class, obj)
    if exc is NameError:
        assert str(info.value) == f"name '{next(iter(patch))}' is not defined"
    entries = [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(info.value.__traceback__)]
    if func is None:  # a failed type test adds no entry
        assert not [e for e in entries if e[1] == SRC]
    else:
        assert entries[-1] == (QUAL + func, SRC, line)
