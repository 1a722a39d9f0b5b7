"""The command line with files: exact round trips, and output that appears only complete."""
import os
import resource
import stat
import threading

import pytest

from cli_run import cli, one_line


def encrypt_then_decrypt(tmp_path, *options):
    first = cli("encrypt", *options, "-i", "plain", "-o", "token", cwd=tmp_path)
    second = cli("decrypt", *options, "-i", "token", "-o", "back", cwd=tmp_path)
    assert (first.returncode, second.returncode, first.stderr + second.stderr) == (0, 0, b"")
    return (tmp_path / "token").read_bytes(), (tmp_path / "back").read_bytes()


@pytest.mark.parametrize("options, content", [
    ((), b"no final newline"), ((), b"one line\n"), ((), b"two\n\n"), ((), b""),
    (("--binary",), bytes(range(256))), (("--binary",), b"\r\n"),
])
def test_files_round_trip_exactly(obj, tmp_path, options, content):
    (tmp_path / "plain").write_bytes(content)
    token, back = encrypt_then_decrypt(tmp_path, *options)
    assert back == content and obj.decrypt_data(token.strip()) == content
    assert token.count(b"\n") == 1 and token.endswith(b"\n")


def test_output_modes_and_what_is_replaced(tmp_path):
    (tmp_path / "plain").write_bytes(b"secret")
    (tmp_path / "back").write_bytes(b"old")
    os.chmod(tmp_path / "back", 0o644)
    (tmp_path / "link").symlink_to("back")
    encrypt_then_decrypt(tmp_path)
    assert stat.S_IMODE(os.stat(tmp_path / "token").st_mode) == 0o600  # a new file
    assert stat.S_IMODE(os.stat(tmp_path / "back").st_mode) == 0o644  # a replaced one
    result = cli("decrypt", "-i", "token", "-o", "link", cwd=tmp_path)  # through the link
    assert result.returncode == 0 and (tmp_path / "link").is_symlink()
    assert sorted(os.listdir(tmp_path)) == ["back", "link", "plain", "token"]


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))  # Python ignores SIGXFSZ


@pytest.mark.parametrize("args, status, message, run_options", [
    (("decrypt", "-i", "bad"), 1, "decryption failed", {}),
    (("encrypt", "--binary", "-i", "big"), 74, "cannot write out: File too large",
     {"preexec_fn": limit_file_size}),
])
def test_failure_leaves_the_output_file_as_it_was(tmp_path, args, status, message, run_options):
    (tmp_path / "bad").write_bytes(b"not a token\n")
    (tmp_path / "big").write_bytes(os.urandom(1 << 17))
    (tmp_path / "out").write_bytes(b"keep")
    result = cli(*args, "-o", "out", cwd=tmp_path, **run_options)
    assert result.returncode == status and message in one_line(result.stderr)
    assert (tmp_path / "out").read_bytes() == b"keep"
    assert sorted(os.listdir(tmp_path)) == ["bad", "big", "out"]  # no temporary file left


def test_a_pipe_as_output_is_written_in_place(obj, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    result = cli("encrypt", "-o", str(fifo), "through a pipe")
    reader.join(60)
    assert result.returncode == 0 and stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert obj.decrypt_string(received[0].strip().decode()) == "through a pipe"
