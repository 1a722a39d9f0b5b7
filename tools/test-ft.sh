#!/usr/bin/env bash
# The module on a free-threaded CPython (make test-ft FT_PYTHON=/path/to/python3.14t): builds it
# for that interpreter, stages it as kelvaro_duneth with the test double of cryptography (no
# free-threaded cryptography exists here), and runs with the GIL off:
#  - the import: sys._is_gil_enabled() stays False and nothing is printed;
#  - tests/ft_hammer.py: eight threads on one object, every cipher's life counted;
#  - tests/ft_hammer.py import: two threads loading the module under two names at once;
#  - the adversarial scenarios of tests/adversary.py;
#  - bench/ft_scaling.py: N threads on N objects against one thread.
# Without FT_PYTHON, or with an interpreter that has a GIL, it says so and succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/lib.sh
FT_PYTHON=${FT_PYTHON:-}
SECONDS_PER_RUN=${FT_SECONDS:-5}
RUNS=${FT_RUNS:-3}
if [[ -z $FT_PYTHON ]]; then
    echo "test-ft: skipped (set FT_PYTHON to a free-threaded interpreter)"
    exit 0
fi
if [[ $("$FT_PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)') != 1 ]]; then
    echo "test-ft: skipped ($FT_PYTHON is not a free-threaded build)"
    exit 0
fi
BUILD=$ROOT/build/ft/$("$FT_PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
STAGE=$BUILD/stage
kv_meson_build "$BUILD/meson" "$FT_PYTHON"
tail -n 1 "$BUILD/meson.ninja.log"
kv_stage "$STAGE" "$BUILD"/meson/kv_duneth*.so
export PYTHONPATH=$STAGE:$ROOT/tests/stand_in
unset PYTHON_GIL

echo "== $("$FT_PYTHON" -VV)"
err=$("$FT_PYTHON" -c 'import sys, kelvaro_duneth.kv_duneth; print(sys._is_gil_enabled(), file=sys.stderr)' 2>&1)
echo "import: sys._is_gil_enabled() -> $err"
[[ $err == False ]] || { echo "FAILED: the import turned the GIL on or printed something"; exit 1; }
"$FT_PYTHON" tests/ft_hammer.py "$SECONDS_PER_RUN" "$RUNS"
for _ in 1 2 3 4 5; do "$FT_PYTHON" tests/ft_hammer.py import; done
for scenario in collector two_threads reentrant_cipher reduce_class huge_dates; do
    printf '%s: ' "$scenario"
    "$FT_PYTHON" tests/adversary.py "$scenario" 2
done
"$FT_PYTHON" bench/ft_scaling.py
