#!/usr/bin/env bash
# Reference and memory-block leaks (make test-leaks): a debug build of the module, installed in a
# private virtual environment of Debian's python3-dbg, runs the test suite with each test repeated
# and measured (tools/leaks/pytest_refleaks.py, as CPython's -R); a test whose
# sys.gettotalrefcount() or sys.getallocatedblocks() grows in every measured run fails. Two
# deliberate leaks (tools/leaks/canaries.py) are measured first and must both be reported.
# Arguments go to pytest (--refleaks WARMUP:ROUNDS, -k TEXT, ...). Report: build/refleak-report.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/leaks/common.sh

kv_require_packages g++ meson ninja-build pkg-config python3-dev python3-dbg python3-venv \
    python3-pytest python3-hypothesis

echo "== the module built for /usr/bin/python3-dbg (build/refleak)"
so=$(build_variant build/refleak /usr/bin/python3-dbg -Dbuildtype=debug)
python=$(variant_venv build/refleak-venv /usr/bin/python3-dbg "$so")
# cryptography's Rust extension is built for the release interpreter: its own reference changes
# are not in the debug interpreter's total, which then drifts with each call into it. The suite's
# double of cryptography (tests/stand_in, pure Python) keeps the counts the module's own.
export PYTHONPATH=$PWD/tests/stand_in
[[ $(loaded_from "$python") == "$PWD/build/refleak-venv/"* ]] \
    || { echo "FAILED: the venv imports another build"; exit 1; }
measured() {
    PYTHONPATH=$ROOT/tools/leaks:$PYTHONPATH \
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

# Left out: the wheel builds (marked slow) and test_typing.py (mypy and stubtest), which run in
# other processes, and stubtest would compare the stubs with the double instead of cryptography.
echo "== the test suite, each test repeated (without the wheel builds and test_typing.py)"
(cd tests && measured -m "not slow" --ignore=test_typing.py "$@") | tee build/refleak-report.txt
