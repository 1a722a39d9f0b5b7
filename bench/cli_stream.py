"""Peak memory and time of the command line's encrypt and decrypt on files of 1 MiB, 64 MiB and
1 GiB, beside the floor of the same run: openssl and base64 doing the same work, one after the
other, over the same file.

    .venv/bin/python bench/cli_stream.py                 # 1, 64 and 1024 MiB: a few minutes
    .venv/bin/python bench/cli_stream.py --mib 1 64      # sizes of your choice
    .venv/bin/python bench/cli_stream.py --repeat 1

Each command runs in a process of its own; its peak resident set is ru_maxrss from wait4, its
time the wall-clock time, the best of --repeat runs. The floor of encrypt is `openssl enc
-aes-128-cbc` + `openssl dgst -sha256 -hmac` over the ciphertext + `base64` of it; the floor of
decrypt is `base64 -d` + `openssl dgst -sha256 -hmac` + `openssl enc -d -aes-128-cbc`. Targets:
a peak under 64 MiB, and a time at most twice the floor. The files go to a temporary directory
(TMPDIR): 1 GiB needs about 5 GiB free there.
"""
import argparse
import datetime
import os
import platform
import subprocess
import sys
import tempfile
import time

import cryptography

PASSPHRASE = "correct horse battery staple"
PEAK_TARGET_MIB, TIME_TARGET = 64, 2.0
KEY, IV = "00112233445566778899aabbccddeeff", "0f0e0d0c0b0a09080706050403020100"


def run(argv, directory, stdout=None):
    """Runs argv; returns (seconds, peak resident set in MiB)."""
    env = dict(os.environ, KELVARO_PASSPHRASE=PASSPHRASE)
    with open(stdout or os.devnull, "wb") as sink:
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=directory, env=env, stdin=subprocess.DEVNULL,
                                   stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        raise SystemExit(f"failed ({status:#x}): {' '.join(argv)}")
    return seconds, usage.ru_maxrss / 1024


def best(repeat, measure):
    runs = [measure() for _ in range(repeat)]
    return min(s for s, _ in runs), max(m for _, m in runs)


def floor(steps, directory, repeat):
    """The summed time and the largest peak of `steps`, each a (argv, stdout file) pair."""
    measured = [best(repeat, lambda: run(argv, directory, out)) for argv, out in steps]
    return sum(s for s, _ in measured), max(m for _, m in measured)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, nargs="+", default=[1, 64, 1024],
                        help="input sizes in MiB (default: 1 64 1024)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each command (default 3)")
    options = parser.parse_args()
    cli = [sys.executable, "-m", "kelvaro_duneth"]
    openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout.strip()
    print(f"{datetime.date.today()}  CPython {platform.python_version()} ({sys.executable}), "
          f"cryptography {cryptography.__version__}, {openssl}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs")
    print(f"{'size':>8} {'command':34} {'time':>8} {'peak':>9}   {'floor':>8} {'peak':>8}  ratio")
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        for mib in options.mib:
            path = lambda name: os.path.join(directory, name)
            with open(path("data"), "wb") as file:
                for _ in range(mib):
                    file.write(os.urandom(1 << 20))
            rows = [
                ("encrypt FILE -o FILE", [*cli, "encrypt", "data", "-o", "data.tok"], None,
                 [(["openssl", "enc", "-aes-128-cbc", "-K", KEY, "-iv", IV, "-in", "data",
                    "-out", "ct"], None),
                  (["openssl", "dgst", "-sha256", "-hmac", KEY, "ct"], None),
                  (["base64", "-w0", "ct"], path("ct.b64"))]),
                ("decrypt FILE -o FILE", [*cli, "decrypt", "data.tok", "-o", "back"], None,
                 [(["base64", "-d", "ct.b64"], path("ct.raw")),
                  (["openssl", "dgst", "-sha256", "-hmac", KEY, "ct.raw"], None),
                  (["openssl", "enc", "-d", "-aes-128-cbc", "-K", KEY, "-iv", IV, "-in",
                    "ct.raw", "-out", "plain"], None)]),
                ("decrypt FILE > FILE (held in TMPDIR)", [*cli, "decrypt", "data.tok"],
                 path("piped"), None),
            ]
            floor_time = floor_peak = None
            for name, argv, stdout, steps in rows:
                seconds, peak = best(options.repeat, lambda: run(argv, directory, stdout))
                if steps is not None:
                    floor_time, floor_peak = floor(steps, directory, options.repeat)
                ratio = seconds / floor_time
                print(f"{mib:>4} MiB {name:34} {seconds:7.2f}s {peak:6.1f} MiB   "
                      f"{floor_time:7.2f}s {floor_peak:4.1f} MiB  {ratio:5.2f}")
                if peak >= PEAK_TARGET_MIB or (mib >= 1024 and ratio > TIME_TARGET):
                    failures.append(f"{mib} MiB {name}")
            for name in ("back", "piped"):
                if not _same(path(name), path("data")):
                    raise SystemExit(f"{name}: the decrypted data differs from the input")
            for name in os.listdir(directory):
                os.unlink(path(name))
    print(f"{'FAIL: ' + ', '.join(failures) if failures else 'PASS'} (targets: a peak under "
          f"{PEAK_TARGET_MIB} MiB; for 1 GiB and more, at most {TIME_TARGET:g} x the floor's time)")


def _same(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p, q = x.read(1 << 20), y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


if __name__ == "__main__":
    main()
