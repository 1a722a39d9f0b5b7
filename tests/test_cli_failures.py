"""The command line's failures: one line on stderr and a status of its own, never a traceback."""
import pytest

from cli_run import cli, one_line, shell

IN_FERNET = """
    import os, signal
    from cryptography.fernet import Fernet
    real, calls = Fernet.{0}, []
    def replaced(self, *args):
        {1}
        return real(self, *args)
    Fernet.{0} = replaced
"""
AT_IMPORT = """
    import builtins, os, signal
    real_import = builtins.__import__
    def interrupting_import(name, *args, **kwargs):
        if name == {0!r}:
            os.kill(os.getpid(), signal.SIGINT)  # delivered at once
        return real_import(name, *args, **kwargs)
    builtins.__import__ = interrupting_import
"""
SIGINT_ONCE = "if not calls: calls.append(1); os.kill(os.getpid(), signal.SIGINT)"
NO_MEMORY = "raise MemoryError"


@pytest.fixture(scope="module")
def files(obj, tmp_path_factory):
    """A token of bytes that are not UTF-8, and one of 1 MiB of text (more than a pipe holds)."""
    path = tmp_path_factory.mktemp("cli")
    (path / "bytes.tok").write_bytes(obj.encrypt_data(b"\xff\xd8 JFIF"))
    (path / "big.tok").write_bytes(obj.encrypt_data(b"a" * (1 << 20)))
    return path


@pytest.mark.parametrize("script, status, message", [
    ("printf '\\xff' | $KD encrypt", 65, "the input is not UTF-8 text: use --binary"),
    ("$KD decrypt -i bytes.tok", 65, "decrypted, but the plaintext is not UTF-8 text"),
    ("$KD decrypt -i /nonexistent", 74, "cannot read /nonexistent: No such file"),
    ("$KD encrypt 0> wo.txt", 74, "cannot read standard input: Bad file descriptor"),
    ("$KD encrypt x -o /nonexistent/out", 74, "cannot write /nonexistent/out: No such file"),
    ("$KD encrypt x -o /dev/full", 74, "cannot write /dev/full: No space left"),
    ("$KD encrypt x >&-", 74, "cannot write standard output: it is closed"),
    ("$KD encrypt x > /dev/full", 74, "cannot write standard output: No space left"),
    ("$KD --help > /dev/full", 74, "cannot write standard output: No space left"),
    ("$KD decrypt -i big.tok | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}", 141, None),
])
def test_statuses(files, script, status, message):
    result = shell(script, cwd=files)
    assert (result.returncode, result.stdout) == (status, b"")
    assert message in one_line(result.stderr) if message else result.stderr == b""


@pytest.mark.parametrize("args, prelude, status, message", [
    (("today",), AT_IMPORT.format("kelvaro_duneth._cli"), 130, "interrupted"),  # before main()
    (("today",), AT_IMPORT.format("argparse"), 130, "interrupted"),
    (("today",), AT_IMPORT.format("kelvaro_duneth.kv_duneth"), 130, "interrupted"),
    (("decrypt",), IN_FERNET.format("decrypt", SIGINT_ONCE), 130, "interrupted"),  # swallowed there
    (("decrypt", "--binary"), IN_FERNET.format("decrypt", NO_MEMORY), 71, "out of memory"),
    (("encrypt",), IN_FERNET.format("encrypt", SIGINT_ONCE), 130, "interrupted"),
    (("encrypt", "--binary"), IN_FERNET.format("encrypt", NO_MEMORY), 71, "out of memory"),
    (("key",), "import sys; sys.modules['cryptography'] = None", 2,
     "the Python package 'cryptography' is not installed"),
    (("encrypt",), "import sys; sys.modules['cryptography'] = None", 2,
     "the Python package 'cryptography' is not installed"),
])
def test_events_at_set_moments(obj, args, prelude, status, message):
    result = cli(*args, stdin=obj.encrypt_data(b"secret"), prelude=prelude)
    assert (result.returncode, result.stdout) == (status, b"")
    assert message in one_line(result.stderr)
