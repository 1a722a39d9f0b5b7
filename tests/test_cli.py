"""The command line `python -m kelvaro_duneth`: exact round trips, tokens that other Fernet code
reads and writes, keys, dates, usage and help. Failures and their statuses, passphrases and
terminals, and output files are in the test_cli_*.py files beside it."""
import datetime as dt
import os

import pytest
from cryptography.fernet import Fernet

from cli_run import ENV, cli, real_cryptography
from helpers import PASSPHRASE
from kelvaro_duneth._cli import CHUNK

# Ways of giving the data and of writing the result: a file argument, standard input or output.
WAYS = [("file", "file"), ("stdin", "stdout"), ("file", "stdout"), ("stdin", "file")]
SIZES = [0, 1, 15, 16, 17, 47, 48, CHUNK - 1, CHUNK + 1, 3 * CHUNK // 4 - 60]  # the last: a
# token of CHUNK + 12 characters, read in two pieces


def run(command, data, way, tmp_path, *options):
    """Runs `command` on `data` given and written the `way` named; returns what it wrote."""
    source, sink = way
    (tmp_path / "in").write_bytes(data)
    args = [command, *options] + (["in"] if source == "file" else [])
    args += ["-o", "out"] if sink == "file" else []
    result = cli(*args, stdin=data if source == "stdin" else b"", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b""), result.stderr
    return (tmp_path / "out").read_bytes() if sink == "file" else result.stdout


@real_cryptography
@pytest.mark.parametrize("size", SIZES)
def test_round_trip_is_byte_exact(obj, tmp_path, size):
    data = (b"line\r\n" + bytes(range(256))) * (size // 262 + 1)
    data = data[:size]
    encrypt_way, decrypt_way = WAYS[size % 4], WAYS[(size + 1) % 4]
    token = run("encrypt", data, encrypt_way, tmp_path)
    assert token.endswith(b"\n") and token.count(b"\n") == 1
    assert obj.decrypt_data(token[:-1]) == data  # the module reads it
    assert run("decrypt", token, decrypt_way, tmp_path) == data
    assert run("decrypt", token[:-1], decrypt_way, tmp_path) == data  # without its line end


@real_cryptography
@pytest.mark.parametrize("data", [b"", "Grüße\n".encode(), os.urandom(CHUNK + 3)],
                         ids=["empty", "text", "large"])
def test_tokens_of_the_module_and_of_fernet_both_ways(obj, tmp_path, data):
    """`key` is the module's key, derived as it derives it; a Fernet key works with --key-file."""
    key = cli("key", "-o", "module.key", cwd=tmp_path)
    assert (key.returncode, key.stderr) == (0, b"")
    (tmp_path / "fernet.key").write_bytes(Fernet.generate_key() + b"\n")
    for key_file in ["module.key", "fernet.key"]:
        fernet = Fernet((tmp_path / key_file).read_bytes().strip())
        token = run("encrypt", data, WAYS[0], tmp_path, "--key-file", key_file)
        assert fernet.decrypt(token) == data
        assert run("decrypt", fernet.encrypt(data), WAYS[1], tmp_path, "--key-file", key_file) \
            == data
    assert run("decrypt", obj.encrypt_data(data), WAYS[2], tmp_path) == data
    assert obj.decrypt_data(run("encrypt", data, WAYS[3], tmp_path)[:-1]) == data


@pytest.mark.parametrize("args", [("encrypt",), ("decrypt",), ("key",)])
@pytest.mark.parametrize("passphrase", [None, ""])
def test_refuses_without_passphrase(args, passphrase):
    result = cli(*args, stdin=b"gAAAA", passphrase=passphrase)
    assert (result.returncode, result.stdout) == (2, b"")
    assert ENV.encode() in result.stderr and b"no passphrase" in result.stderr
    if passphrase is None:  # no terminal either: the options that exist
        assert (b"--key-file" in result.stderr) == (args[0] != "key"), result.stderr


@pytest.mark.parametrize("args, message", [
    ((), b"required"),
    (("bogus",), b"invalid choice"),
    (("encrypt", "--passphrase", "x"), b"unrecognized arguments"),  # not from the command line
    (("encrypt", "a", "b"), b"unrecognized arguments"),
    (("encrypt", "-i", "a"), b"unrecognized arguments"),  # the file is an argument now
    (("decrypt", "--key-file", "k", "--passphrase-file", "p"), b"not allowed with argument"),
    (("key", "--key-file", "k"), b"unrecognized arguments"),
    (("end-date", "--days", "x"), b"invalid int value"),
    (("end-date", "--days", str(2 ** 31)), b"value too large to convert to int"),
])
def test_usage_errors_exit_2(args, message):
    result = cli(*args)
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


def test_string_key_is_the_helpers(obj):
    string_key = cli("string-key")
    assert (string_key.returncode, string_key.stdout) == (
        0, obj.string_to_secret_key(PASSPHRASE).encode() + b"\n")
    assert string_key.stdout != cli("key").stdout
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


def test_import_stays_light(run_py):
    run_py("""
        import sys, kelvaro_duneth
        loaded = {"kelvaro_duneth.kv_duneth", "kelvaro_duneth._cli", "kelvaro_duneth._fernet",
                  "cryptography"} & set(sys.modules)
        assert not loaded, loaded
    """)
