"""The command line `python -m kelvaro_duneth`: round trips, keys, dates, usage and help.
Failures and their statuses, passphrases, and files are in the test_cli_*.py files beside it."""
import datetime as dt

import pytest
from cryptography.fernet import Fernet

from cli_run import ENV, at_terminal, cli
from conftest import PASSPHRASE


@pytest.mark.parametrize("text, args, stdin", [
    ("Grüße aus Köln", ("Grüße aus Köln",), b""),
    ("Grüße aus Köln", (), "Grüße aus Köln\n".encode()),  # one trailing newline is dropped
    ("two\nlines\n", ("-",), b"two\nlines\n\n"),
    ("no newline", (), b"no newline"),
    ("", (), b""),
])
def test_round_trip(obj, text, args, stdin):
    enc = cli("encrypt", *args, stdin=stdin)
    assert (enc.returncode, enc.stderr) == (0, b"")
    token = enc.stdout.decode("ascii")
    assert token.endswith("\n") and token.count("\n") == 1
    assert obj.decrypt_string(token.strip()) == text
    for dec_args, dec_stdin in [((), enc.stdout), ((token.strip(),), b"")]:
        dec = cli("decrypt", *dec_args, stdin=dec_stdin)
        assert (dec.returncode, dec.stdout, dec.stderr) == (0, text.encode() + b"\n", b"")


@pytest.mark.parametrize("data", [bytes(range(256)) * 3, b"", b"\n", "Köln\n".encode("latin-1")])
def test_binary_round_trip_is_exact(obj, data):
    enc = cli("encrypt", "--binary", stdin=data)
    assert (enc.returncode, enc.stderr) == (0, b"") and enc.stdout.endswith(b"\n")
    assert obj.decrypt_data(enc.stdout.strip()) == data
    dec = cli("decrypt", "--binary", stdin=enc.stdout)
    assert (dec.returncode, dec.stdout, dec.stderr) == (0, data, b"")


@pytest.mark.parametrize("args, stdin, passphrase", [
    (("not a token",), b"", PASSPHRASE),
    ((), b"", PASSPHRASE),
    ((), None, "another passphrase"),  # stdin: a real token made under PASSPHRASE
])
def test_decryption_failure_exits_1(obj, args, stdin, passphrase):
    stdin = obj.encrypt_string("secret").encode() if stdin is None else stdin
    result = cli("decrypt", *args, stdin=stdin, passphrase=passphrase)
    assert (result.returncode, result.stdout) == (1, b"")
    assert b"decryption failed" in result.stderr


@pytest.mark.parametrize("args", [("encrypt", "text"), ("encrypt",), ("decrypt",), ("key",)])
@pytest.mark.parametrize("passphrase", [None, ""])
def test_refuses_without_passphrase(args, passphrase):
    result = cli(*args, stdin=b"gAAAA", passphrase=passphrase)
    assert (result.returncode, result.stdout) == (2, b"")
    assert ENV.encode() in result.stderr and b"no passphrase" in result.stderr


@pytest.mark.parametrize("args, stdin, message", [
    ((), b"", b"required"),
    (("bogus",), b"", b"invalid choice"),
    (("encrypt", "--passphrase", "x"), b"", b"unrecognized arguments"),  # not from the command line
    (("encrypt", "a", "b"), b"", b"unrecognized arguments"),
    (("encrypt", "-i", "a", "text"), b"", b"not both"),
    (("end-date", "--days", "x"), b"", b"invalid int value"),
    (("end-date", "--days", str(2 ** 31)), b"", b"value too large to convert to int"),
])
def test_usage_errors_exit_2(args, stdin, message):
    result = cli(*args, stdin=stdin)
    assert (result.returncode, result.stdout) == (2, b"")
    assert message in result.stderr


def test_year_out_of_range_exits_2():
    """The command passes on datetime's own error for the year, whatever its wording."""
    now = dt.datetime.now()
    with pytest.raises(ValueError) as info:
        now.replace(year=now.year + 9000)
    result = cli("end-date", "--years", "9000", passphrase=None)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.endswith(f": no such date: {info.value}\n".encode())


def test_key_decrypts_the_tokens_of_encrypt_and_string_key_is_the_helpers(obj):
    token = cli("encrypt", "Grüße").stdout.strip()
    key = cli("key")
    assert (key.returncode, key.stderr, len(key.stdout)) == (0, b"", 45)
    assert Fernet(key.stdout.strip()).decrypt(token) == "Grüße".encode()
    string_key = cli("string-key")
    assert (string_key.returncode, string_key.stdout) == (
        0, obj.string_to_secret_key(PASSPHRASE).encode() + b"\n")
    assert string_key.stdout != key.stdout
    assert b"salt differs" in b" ".join(cli("string-key", "--help").stdout.split())


def test_dates(unkeyed):
    for args, expected in [(("today",), unkeyed.get_today_date),
                           (("end-date", "--years", "1", "--months=-2", "--days", "40"),
                            lambda: unkeyed.generate_end_date(1, -2, 40))]:
        before = expected()
        result = cli(*args, passphrase=None)  # dates need no passphrase
        assert result.returncode == 0 and result.stderr == b""
        assert result.stdout.decode() in {before + "\n", expected() + "\n"}  # midnight may pass


@pytest.mark.parametrize("args, mentions_env", [
    ((), True), (("encrypt",), True), (("decrypt",), True), (("key",), True),
    (("string-key",), True), (("today",), False), (("end-date",), False)])
def test_help(args, mentions_env):
    result = cli(*args, "--help", passphrase=None)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.startswith(b"usage: python -m kelvaro_duneth")
    assert (ENV.encode() in result.stdout.replace(b"\n", b" ")) == mentions_env


def test_prompts_without_echo_on_a_terminal():
    """With a terminal as standard input and no other source, getpass asks; nothing typed shows."""
    status, screen = at_terminal(["key"], [PASSPHRASE])
    assert status == 0 and b"Passphrase:" in screen, screen
    assert cli("key").stdout.strip() in screen
    assert PASSPHRASE.encode() not in screen


def test_import_stays_light(run_py):
    run_py("""
        import sys, kelvaro_duneth
        loaded = {"kelvaro_duneth.kv_duneth", "kelvaro_duneth._cli", "cryptography"} & set(sys.modules)
        assert not loaded, loaded
    """)
