#!/usr/bin/env bash
# Reference and memory-block leaks (make test-leaks): a debug build of the module, installed in a
# private virtual environment of Debian's python3-dbg, runs every method and error path 10 000
# times (tools/leaks/refleaks.py); growth of sys.gettotalrefcount() or sys.getallocatedblocks()
# fails. Two deliberate leaks are measured first and must both be reported.
# Arguments go to refleaks.py (--iterations N, -k TEXT, ...). Report: build/refleak-report.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/leaks/common.sh

need_packages g++ meson ninja-build pkg-config python3-dev python3-dbg python3-venv \
    python3-cryptography

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

echo "== canaries: a reference and a memory block leaked per call must both be reported"
canary_rc=0
"$python" tools/leaks/refleaks.py --canary --iterations 2000 >build/refleak-canary.txt \
    || canary_rc=$?
if [[ $canary_rc != 1 || $(grep -c '^LEAK: ' build/refleak-canary.txt) != 2 ]]; then
    cat build/refleak-canary.txt
    echo "FAILED: the measurement missed a deliberate leak"
    exit 1
fi
grep '^canary' build/refleak-canary.txt

echo "== every method and error path"
"$python" tools/leaks/refleaks.py "$@" | tee build/refleak-report.txt
