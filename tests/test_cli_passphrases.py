"""Where the command line's passphrase comes from, and what it refuses (exit 2, one line)."""
import pytest

from cli_run import at_terminal, cli, one_line
from conftest import PASSPHRASE


@pytest.mark.parametrize("content", [f"{PASSPHRASE}\nsecond line\n", f"{PASSPHRASE}\r\n",
                                     PASSPHRASE])
def test_passphrase_file_gives_its_first_line(obj, tmp_path, content):
    (tmp_path / "pass").write_bytes(content.encode())
    result = cli("encrypt", "--passphrase-file", str(tmp_path / "pass"), "x",
                 passphrase="the variable loses")
    assert result.returncode == 0 and obj.decrypt_string(result.stdout.strip().decode()) == "x"


@pytest.mark.parametrize("name, content, status, message", [
    ("-", None, 2, "--passphrase-file cannot be standard input"),
    ("empty", b"\nsecond line", 2, "no passphrase: {path} is empty"),
    ("latin1", "Köln".encode("latin-1"), 2, "the passphrase in {path} is not UTF-8 text"),
    ("missing", None, 74, "cannot read {path}: No such file"),
])
def test_passphrase_file_refused(tmp_path, name, content, status, message):
    path = name if name == "-" else str(tmp_path / name)
    if content is not None:
        (tmp_path / name).write_bytes(content)
    result = cli("encrypt", "--passphrase-file", path, "x", stdin=b"x")
    assert (result.returncode, result.stdout) == (status, b"")
    assert message.format(path=path) in one_line(result.stderr)


@pytest.mark.parametrize("typed, status, shown", [
    ([PASSPHRASE, PASSPHRASE], 0, b"Same passphrase again:"),
    ([PASSPHRASE, PASSPHRASE + "x"], 2, b"error: the two passphrases differ"),
    ([""], 2, b"error: no passphrase: the one typed is empty"),
    (["\x03"], 130, b"\r\npython -m kelvaro_duneth encrypt: interrupted"),  # Ctrl-C
])
def test_encrypt_asks_twice_at_a_terminal(obj, typed, status, shown):
    code, screen = at_terminal(["encrypt", "hello"], typed)
    assert (code, shown in screen, PASSPHRASE.encode() in screen) == (status, True, False), screen
    tokens = [line for line in screen.split() if line.startswith(b"gAAAA")]
    assert [obj.decrypt_string(t.decode()) for t in tokens] == (["hello"] if status == 0 else [])
