"""Peak memory of the command line on a large input: the peak resident set (ru_maxrss) of each
command, run in a process of its own, against the size of its input.

    .venv/bin/python bench/cli_memory.py            # 64 MiB, about a minute
    .venv/bin/python bench/cli_memory.py --mib 16

Rows: `encrypt --binary` from a file to a file (the row with a target: under 6 times its input),
the same through standard input and output, the text encrypt, `decrypt --binary`; then the
floor under every encrypt row: `encrypt_data` alone, in an interpreter that does nothing else,
which is what cryptography's Fernet.encrypt holds at once (the input, the padded input, the
ciphertext, two copies of the token's bytes and two of its Base64 text).
"""
import argparse
import datetime
import os
import platform
import subprocess
import sys
import tempfile

import cryptography

TARGET = 6.0
PASSPHRASE = "correct horse battery staple"
ENCRYPT_DATA_ALONE = f"""
import sys
from kelvaro_duneth.kv_duneth import kv_duneth
cipher = kv_duneth({PASSPHRASE!r})
with open(sys.argv[1], "rb") as file:
    data = file.read()
token = cipher.encrypt_data(data)
"""


def peak_kib(argv, directory, stdin=None, stdout=None):
    """Runs argv and returns the peak resident set of that process, in KiB."""
    env = dict(os.environ, KELVARO_PASSPHRASE=PASSPHRASE)
    with open(stdin or os.devnull, "rb") as source, open(stdout or os.devnull, "wb") as sink:
        process = subprocess.Popen(argv, cwd=directory, env=env, stdin=source, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        raise SystemExit(f"failed ({status:#x}): {' '.join(argv)}")
    return usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=64, help="input size in MiB (default 64)")
    size = parser.parse_args().mib << 20
    cli = [sys.executable, "-m", "kelvaro_duneth"]
    print(f"{datetime.date.today()}  CPython {platform.python_version()} ({sys.executable}), "
          f"cryptography {cryptography.__version__}, {platform.machine()}")
    print(f"input: {size >> 20} MiB; peak resident set of each process, and its ratio to the input")
    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "data.bin"), "wb") as file:
            file.write(os.urandom(size))
        with open(os.path.join(directory, "text.txt"), "wb") as file:
            file.write(b"All work and no play.\n" * (size // 22) + b"\n" * (size % 22))
        rows = [
            ("encrypt --binary -i FILE -o FILE",
             lambda: peak_kib([*cli, "encrypt", "--binary", "-i", "data.bin", "-o", "data.tok"],
                              directory)),
            ("encrypt --binary < FILE > FILE",
             lambda: peak_kib([*cli, "encrypt", "--binary"], directory,
                              os.path.join(directory, "data.bin"),
                              os.path.join(directory, "piped.tok"))),
            ("encrypt (text) -i FILE -o FILE",
             lambda: peak_kib([*cli, "encrypt", "-i", "text.txt", "-o", "text.tok"], directory)),
            ("decrypt --binary -i FILE -o FILE",
             lambda: peak_kib([*cli, "decrypt", "--binary", "-i", "data.tok", "-o", "back.bin"],
                              directory)),
            ("floor: encrypt_data alone",
             lambda: peak_kib([sys.executable, "-c", ENCRYPT_DATA_ALONE, "data.bin"], directory)),
        ]
        ratios = {}
        for name, measure in rows:
            kib = measure()
            ratios[name] = kib * 1024 / size
            print(f"  {name:36} {kib / 1024:8.1f} MiB  {ratios[name]:5.2f} x")
        with open(os.path.join(directory, "back.bin"), "rb") as back, \
                open(os.path.join(directory, "data.bin"), "rb") as data:
            if back.read() != data.read():
                raise SystemExit("the decrypted data differs from the input")
    ratio = ratios[rows[0][0]]
    print(f"{'PASS' if ratio < TARGET else 'FAIL'}: binary encrypt peaks at {ratio:.2f} x its "
          f"input (target: under {TARGET:g} x; the floor, encrypt_data alone: "
          f"{ratios[rows[-1][0]]:.2f} x)")


if __name__ == "__main__":
    main()
