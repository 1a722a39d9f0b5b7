"""The command line's failures: one line on stderr and a status of its own, never a traceback;
and a token that fails releases nothing."""
import base64
import os

import pytest

from cli_run import cli, one_line, real_cryptography, shell
from kelvaro_duneth._cli import CHUNK, NOT_DECRYPTED

AT_IMPORT = """
    import builtins, os, signal
    real_import = builtins.__import__
    def interrupting_import(name, *args, **kwargs):
        if name == {0!r}:
            os.kill(os.getpid(), signal.SIGINT)  # delivered at once
        return real_import(name, *args, **kwargs)
    builtins.__import__ = interrupting_import
"""
AT_SECOND_READ = """
    import os, signal
    real_read, reads = os.read, []
    def read(fd, size):
        reads.append(fd)
        if len(reads) == 2:
            {0}
        return real_read(fd, size)
    os.read = read
"""
SIGINT = "os.kill(os.getpid(), signal.SIGINT)"
NO_MEMORY = "raise MemoryError"


@pytest.fixture(scope="module")
def files(obj, tmp_path_factory):
    """A token of 3 MiB of bytes, read in several pieces, and tokens that fail in each way."""
    path = tmp_path_factory.mktemp("cli")
    big = obj.encrypt_data(os.urandom(3 * CHUNK + 1))  # its text ends in "=="
    raw = base64.urlsafe_b64decode(big)
    flip = lambda text, at: text[:at] + (b"B" if text[at:at + 1] == b"A" else b"A") + text[at + 1:]
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    end = big.index(b"=")
    unused = alphabet.index(big[end - 1]) ^ 1  # a bit the padding leaves unused: same bytes
    for name, content in [
        ("big.tok", big), ("empty.tok", b""), ("plain.tok", b"hello\n"),
        ("short.tok", base64.urlsafe_b64encode(raw[:56])),
        ("version.tok", base64.urlsafe_b64encode(b"\x81" + raw[1:])),
        ("spaced.tok", big[:100] + b" " + big[100:]),
        ("start.tok", flip(big, 20)), ("middle.tok", flip(big, len(big) // 2)),
        ("end.tok", flip(big, len(big) - 8)),
        ("truncated.tok", big[:-1]), ("extended.tok", big + b"AAAA"),
        ("cut.tok", base64.urlsafe_b64encode(raw[:-16])),  # a whole block less: the HMAC fails
        ("grown.tok", base64.urlsafe_b64encode(raw + b"\0")),
        ("unused.tok", big[:end - 1] + alphabet[unused:unused + 1] + big[end:]),  # Fernet takes it
    ]:
        (path / name).write_bytes(content)
    return path


@real_cryptography
@pytest.mark.parametrize("name, message", [
    ("empty", "empty.tok is not a Fernet token (it is empty)"),
    ("plain", "plain.tok is not a Fernet token (wrong version byte)"),
    ("short", "short.tok is not a Fernet token (too short)"),
    ("version", "version.tok is not a Fernet token (wrong version byte)"),
    ("spaced", "spaced.tok is not a Fernet token (not URL-safe Base64)"),
    ("start", NOT_DECRYPTED), ("middle", NOT_DECRYPTED), ("end", NOT_DECRYPTED),
    ("truncated", "truncated.tok is not a Fernet token (not URL-safe Base64)"),
    ("extended", "extended.tok is not a Fernet token (not URL-safe Base64)"),
    ("cut", NOT_DECRYPTED),
    ("grown", "grown.tok is not a Fernet token (its length is not that of a token)"),
    ("unused", "unused.tok is not a Fernet token (not URL-safe Base64)"),
])
def test_a_token_that_fails_releases_nothing(files, name, message):
    for output in [[], ["-o", "out"]]:
        result = cli("decrypt", f"{name}.tok", *output, cwd=files)
        assert (result.returncode, result.stdout) == (1, b"")
        assert one_line(result.stderr).endswith(f"error: {message}")
        assert not any(n.startswith((".out", "out")) for n in os.listdir(files))


@pytest.mark.parametrize("script, status, message", [
    ("$KD decrypt /nonexistent", 74, "cannot read /nonexistent: No such file"),
    ("$KD decrypt gAAAAA$(printf %080d 0)", 74, "(a token given as text goes on standard input)"),
    ("$KD --help > /dev/full", 74, "cannot write standard output: No space left"),
] + [pytest.param(*case, marks=real_cryptography) for case in [
    ("$KD decrypt .", 74, "cannot read .: Is a directory"),
    ("$KD encrypt 0> wo.txt", 74, "cannot read standard input: Bad file descriptor"),
    ("$KD encrypt -o /nonexistent/out < /dev/null", 74, "cannot write /nonexistent/out: No such"),
    ("$KD encrypt -o /dev/full < /dev/null", 74, "cannot write /dev/full: No space left"),
    ("$KD encrypt < /dev/null >&-", 74, "cannot write standard output: it is closed"),
    ("$KD encrypt < /dev/null > /dev/full", 74, "cannot write standard output: No space left"),
    ("$KD decrypt big.tok > /dev/full", 74, "cannot write standard output: No space left"),
    ("$KD decrypt big.tok | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}", 141, None),
]])
def test_statuses(files, script, status, message):
    result = shell(script, cwd=files)
    assert (result.returncode, result.stdout) == (status, b"")
    assert message in one_line(result.stderr) if message else result.stderr == b""


@pytest.mark.parametrize("args, prelude, status, message", [
    (("today",), AT_IMPORT.format("kelvaro_duneth._cli"), 130, "interrupted"),  # before main()
    (("today",), AT_IMPORT.format("argparse"), 130, "interrupted"),
    (("today",), AT_IMPORT.format("kelvaro_duneth.kv_duneth"), 130, "interrupted"),
    pytest.param(("decrypt", "big.tok", "-o", "out"), AT_SECOND_READ.format(SIGINT), 130,
                 "interrupted", marks=real_cryptography),
    pytest.param(("encrypt", "big.tok", "-o", "out"), AT_SECOND_READ.format(NO_MEMORY), 71,
                 "out of memory", marks=real_cryptography),
    (("key",), "import sys; sys.modules['cryptography'] = None", 2,
     "the Python package 'cryptography' is not installed"),
    (("encrypt", "big.tok"), "import sys; sys.modules['cryptography'] = None", 2,
     "the Python package 'cryptography' is not installed"),
])
def test_events_at_set_moments(files, args, prelude, status, message):
    result = cli(*args, prelude=prelude, cwd=files)
    assert (result.returncode, result.stdout) == (status, b"")
    assert message in one_line(result.stderr)
    assert not any(n.startswith((".out", "out")) for n in os.listdir(files))
