"""Runs the installed command line as a user does: in a subprocess, through bash for redirections,
in a pseudo-terminal for prompts, or after a prelude that makes an event happen at a set moment.
Outside a pseudo-terminal the command runs without a controlling terminal, so it never prompts."""
import os
import pty
import select
import signal
import subprocess
import sys
import textwrap

import cryptography
import pytest

from helpers import PASSPHRASE

# The test double in tests/stand_in has Fernet and PBKDF2 only, not the AES, HMAC and padding
# primitives that encrypt and decrypt stream through.
real_cryptography = pytest.mark.skipif(getattr(cryptography, "STAND_IN", False), reason=(
    "encrypt and decrypt need cryptography's AES, HMAC and PKCS7, which the stand-in lacks"))

ENV = "KELVARO_PASSPHRASE"
COMMAND = [sys.executable, "-m", "kelvaro_duneth"]


def environment(passphrase):
    env = {k: v for k, v in os.environ.items() if k != ENV}
    if passphrase is not None:
        env[ENV] = passphrase
    return env


def cli(*args, stdin=b"", passphrase=PASSPHRASE, prelude=None, **options):
    """Standard input is a pipe (never a terminal). `prelude` runs first in the same interpreter."""
    command = COMMAND
    if prelude is not None:
        command = [sys.executable, "-c", textwrap.dedent(prelude) + "\nimport runpy\n"
                   "runpy.run_module('kelvaro_duneth', run_name='__main__', alter_sys=True)"]
    then = options.pop("preexec_fn", lambda: None)
    return subprocess.run([*command, *args], input=stdin, capture_output=True,
                          env=environment(passphrase), timeout=120, start_new_session=True,
                          preexec_fn=lambda: (interruptible(), then()), **options)


def interruptible():
    """Ctrl-C reaches the command as at a terminal, even where the test run ignores it (a run
    started in the background, or under nohup, hands SIGINT on ignored)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def shell(script, cwd, passphrase=PASSPHRASE):
    """Runs a bash script in which $KD is the command."""
    env = dict(environment(passphrase), KD=" ".join(COMMAND))
    return subprocess.run(["bash", "-c", script], capture_output=True, env=env, cwd=cwd,
                          timeout=120, start_new_session=True)


def at_terminal(args, typed, stdin=None, cwd=None):
    """Runs the command with a pseudo-terminal as its terminal (and its standard input, unless
    `stdin` names a file); answers each prompt in turn with the next of `typed`. Returns (exit
    status, everything the terminal showed)."""
    pid, fd = pty.fork()
    if pid == 0:
        interruptible()
        if cwd is not None:
            os.chdir(cwd)
        if stdin is not None:
            os.dup2(os.open(stdin, os.O_RDONLY), 0)
        os.execve(sys.executable, [*COMMAND, *args], environment(None))
    screen, answers, answered = b"", list(typed), 0
    while True:
        if not select.select([fd], [], [], 60)[0]:
            os.kill(pid, signal.SIGKILL)
            raise AssertionError(f"no answer from the command; the terminal showed {screen!r}")
        try:
            chunk = os.read(fd, 1024)
        except OSError:  # EIO: the child has closed the terminal
            chunk = b""
        if not chunk:
            break
        screen += chunk
        if answers and screen[answered:].rstrip().endswith(b":"):
            os.write(fd, answers.pop(0).encode() + b"\n")  # only once a new prompt shows
            answered = len(screen)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1, screen


def one_line(stderr):
    """The single line a failure prints (the test fails on a traceback or on more lines)."""
    lines = stderr.decode().splitlines()
    assert len(lines) == 1 and "Traceback" not in stderr.decode(), stderr
    return lines[0]
