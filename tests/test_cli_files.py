"""The command line's output files: they appear only complete, with the modes a user expects."""
import os
import resource
import stat
import threading

import pytest

from cli_run import cli, one_line, real_cryptography

pytestmark = real_cryptography


def test_output_modes_and_what_is_replaced(tmp_path):
    (tmp_path / "plain").write_bytes(b"secret")
    (tmp_path / "back").write_bytes(b"old")
    os.chmod(tmp_path / "back", 0o644)
    (tmp_path / "link").symlink_to("back")
    for args in [("encrypt", "plain", "-o", "token"), ("decrypt", "token", "-o", "back"),
                 ("decrypt", "token", "-o", "link")]:  # through the link
        assert cli(*args, cwd=tmp_path).returncode == 0
    assert stat.S_IMODE(os.stat(tmp_path / "token").st_mode) == 0o600  # a new file
    assert stat.S_IMODE(os.stat(tmp_path / "back").st_mode) == 0o644  # a replaced one
    assert (tmp_path / "link").is_symlink() and (tmp_path / "back").read_bytes() == b"secret"
    assert sorted(os.listdir(tmp_path)) == ["back", "link", "plain", "token"]


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))  # Python ignores SIGXFSZ


@pytest.mark.parametrize("args, status, message, run_options", [
    (("decrypt", "bad"), 1, "bad is not a Fernet token", {}),
    (("encrypt", "big"), 74, "cannot write out: File too large", {"preexec_fn": limit_file_size}),
])
def test_failure_leaves_the_output_file_as_it_was(tmp_path, args, status, message, run_options):
    (tmp_path / "bad").write_bytes(b"not a token\n")
    (tmp_path / "big").write_bytes(os.urandom(1 << 17))
    (tmp_path / "out").write_bytes(b"keep")
    result = cli(*args, "-o", "out", cwd=tmp_path, **run_options)
    assert result.returncode == status and message in one_line(result.stderr)
    assert (tmp_path / "out").read_bytes() == b"keep"
    assert sorted(os.listdir(tmp_path)) == ["bad", "big", "out"]  # no temporary file left


@pytest.mark.parametrize("command", ["encrypt", "decrypt"])
def test_a_pipe_as_output_is_written_in_place(obj, tmp_path, command):
    fifo, token = tmp_path / "fifo", obj.encrypt_data(b"through a pipe")
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    stdin = token if command == "decrypt" else b"through a pipe"
    result = cli(command, "-o", str(fifo), stdin=stdin)
    reader.join(60)
    assert result.returncode == 0 and stat.S_ISFIFO(os.stat(fifo).st_mode)
    back = received[0] if command == "decrypt" else obj.decrypt_data(received[0].strip())
    assert back == b"through a pipe"
