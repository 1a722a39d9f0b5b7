#!/usr/bin/env bash
# Reference and memory-block leaks (make test-leaks): a debug build of the module, installed in a
# private virtual environment of Debian's python3-dbg, runs the test suite with each test repeated
# and measured (tools/leaks/pytest_refleaks.py, as CPython's -R); a test whose
# sys.gettotalrefcount() or sys.getallocatedblocks() grows in every measured run fails. Two
# deliberate leaks (tools/leaks/canaries.py) are measured first and must both be reported.
# Arguments go to pytest (--refleaks WARMUP:ROUNDS, -k TEXT, ...). Report: build/refleak-report.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/leaks/common.sh

kv_require_packages g++ meson ninja-build pkg-config python3-dev python3-dbg python3-venv \
    python3-cryptography python3-pytest python3-hypothesis

echo "== the module built for /usr/bin/python3-dbg (build/refleak)"
so=$(build_variant build/refleak /usr/bin/python3-dbg -Dbuildtype=debug)
python=$(variant_venv build/refleak-venv /usr/bin/python3-dbg "$so")
if ! "$python" -c 'import cryptography.fernet, cryptography.hazmat.primitives.kdf.pbkdf2' \
    2>/dev/null; then
    echo "python3-dbg cannot import cryptography: the module loads the stand-in package instead"
    export PYTHONPATH=$PWD/tests/stand_in
fi
[[ $(loaded_from "$python") == "$PWD/build/refleak-venv/"* ]] \
    || { echo "FAILED: the venv imports another build"; exit 1; }
measured() {
    PYTHONPATH=$PWD/tools/leaks${PYTHONPATH:+:$PYTHONPATH} \
        "$python" -m pytest -q -p no:cacheprovider -p pytest_refleaks "$@"
}

echo "== canaries: a reference and a memory block leaked per run must both be reported"
measured tools/leaks/canaries.py > build/refleak-canary.txt || true
if [[ $(grep -c '^LEAK: ' build/refleak-canary.txt) != 2 ]]; then
    cat build/refleak-canary.txt
    echo "FAILED: the measurement missed a deliberate leak"
    exit 1
fi
grep '^LEAK: ' build/refleak-canary.txt

echo "== the test suite, each test repeated"
(cd tests && measured "$@") | tee build/refleak-report.txt
