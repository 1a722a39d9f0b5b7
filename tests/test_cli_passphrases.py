"""Where the command line's passphrase or key comes from, what it refuses (one line each), and the
terminal: prompts even when standard input carries the data, and no bytes dumped onto it."""
import pytest
from cryptography.fernet import Fernet

from cli_run import at_terminal, cli, one_line, real_cryptography
from helpers import PASSPHRASE

pytestmark = real_cryptography


@pytest.mark.parametrize("content", [f"{PASSPHRASE}\nsecond line\n", f"{PASSPHRASE}\r\n",
                                     PASSPHRASE])
def test_passphrase_file_gives_its_first_line(obj, tmp_path, content):
    (tmp_path / "pass").write_bytes(content.encode())
    result = cli("encrypt", "--passphrase-file", str(tmp_path / "pass"), stdin=b"x",
                 passphrase="the variable loses")
    assert result.returncode == 0 and obj.decrypt_data(result.stdout.strip()) == b"x"


@pytest.mark.parametrize("option, name, content, status, message", [
    ("--passphrase-file", "-", None, 2, "--passphrase-file cannot be standard input"),
    ("--passphrase-file", "empty", b"\nsecond line", 2, "no passphrase: {path} is empty"),
    ("--passphrase-file", "latin1", "Köln".encode("latin-1"), 2,
     "the passphrase in {path} is not UTF-8 text"),
    ("--passphrase-file", "missing", None, 74, "cannot read {path}: No such file"),
    ("--key-file", "-", None, 2, "--key-file cannot be standard input"),
    ("--key-file", "short", Fernet.generate_key()[1:], 2,
     "{path} does not hold a Fernet key (not 44 URL-safe Base64 characters)"),
    ("--key-file", "std", Fernet.generate_key()[:42] + b"+=", 2, "does not hold a Fernet key"),
    ("--key-file", "bits", b"A" * 42 + b"B=", 2, "(not the canonical Base64 of 32 bytes)"),
])
def test_secret_file_refused(tmp_path, option, name, content, status, message):
    path = name if name == "-" else str(tmp_path / name)
    if content is not None:
        (tmp_path / name).write_bytes(content)
    result = cli("encrypt", option, path, stdin=b"x")
    assert (result.returncode, result.stdout) == (status, b"")
    assert message.format(path=path) in one_line(result.stderr)


@pytest.mark.parametrize("typed, status, shown", [
    ([PASSPHRASE, PASSPHRASE], 0, b"Same passphrase again:"),
    ([PASSPHRASE, PASSPHRASE + "x"], 2, b"error: the two passphrases differ"),
    ([""], 2, b"error: no passphrase: the one typed is empty"),
    (["\x03"], 130, b"\r\npython -m kelvaro_duneth encrypt: interrupted"),  # Ctrl-C
])
def test_prompt_at_the_terminal_while_standard_input_carries_data(obj, tmp_path, typed, status,
                                                                   shown):
    (tmp_path / "data").write_bytes(b"hello\n")
    code, screen = at_terminal(["encrypt", "-o", "token"], typed, stdin="data", cwd=tmp_path)
    assert (code, shown in screen, PASSPHRASE.encode() in screen) == (status, True, False), screen
    if status == 0:
        assert obj.decrypt_data((tmp_path / "token").read_bytes().strip()) == b"hello\n"
        code, screen = at_terminal(["decrypt", "token"], [PASSPHRASE], stdin="/dev/null",
                                   cwd=tmp_path)
        assert code == 0 and screen.endswith(b"hello\r\n"), screen


@pytest.mark.parametrize("plaintext, status", [(b"text\n", 0), (b"\xff\xd8 JFIF", 65)])
def test_no_bytes_dumped_onto_a_terminal(obj, tmp_path, plaintext, status):
    (tmp_path / "token").write_bytes(obj.encrypt_data(plaintext))
    (tmp_path / "pass").write_text(PASSPHRASE)
    code, screen = at_terminal(["decrypt", "--passphrase-file", "pass", "token"], [],
                               cwd=tmp_path)
    assert code == status, screen
    assert (plaintext.replace(b"\n", b"\r\n") in screen) == (status == 0), screen
    assert (b"not text, and standard output is a terminal" in screen) == (status != 0)
