#!/usr/bin/env bash
# Builds the extension for this machine's interpreters of tools/interpreters.txt (the host's and
# pyenv's rows with the ci role) and runs the whole test suite against each build, staged as the
# package kelvaro_duneth. Interpreters that can import the real `cryptography` use it; the others
# get the test double in tests/stand_in.
# Usage: bash tools/test-matrix.sh [NAME ...]   (NAME: debian for the host's python3, or a pyenv
# version such as 3.7.16; default: all of them).
# Work files go to build/matrix/ (git-ignored); logs stay there for reading.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${KV_MATRIX_DIR:-$ROOT/build/matrix}
source "$ROOT/tools/lib.sh"
VERSIONS=(${*:-$(kv_rows ci | awk '$2 == "host" { print "debian" } $2 == "pyenv" { print $3 }')})
# The wheel and sdist tests (marked slow) need pip and meson-python in the interpreter: `make test`
# runs them on Debian's python3. KV_PYTEST_ARGS replaces this selection.
kv_args_from PYTEST_ARGS KV_PYTEST_ARGS -m "not slow"

for tool in meson ninja; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run 'make deps'" >&2; exit 2; }
done
mkdir -p "$WORK"
kv_log "overlay of pytest and hypothesis in $WORK/overlay"
kv_overlay "$WORK/overlay"

# interpreter path for a name in VERSIONS
interpreter() {
    if [ "$1" = debian ]; then kv_rows "" host | awk '{ print $3 }'; else echo "$KV_PYENV/$1/bin/python3"; fi
}

# run_one NAME: builds, stages and tests against one interpreter; writes its row to $WORK/NAME.row
# and its counts to $WORK/NAME.counts.
run_one() {
    local name=$1 py dir version pythonpath crypto result p f s e
    row() { printf '%-14s %-17s %s\n' "$@" > "$WORK/$name.row"; }
    py=$(interpreter "$name")
    dir="$WORK/$name"
    if [ ! -x "$py" ]; then
        row "$name" - "ABSENT (no $py)"
        return 0
    fi
    version=$("$py" -c 'import platform; print(platform.python_version())')
    [ "$name" = debian ] && version+=" Debian"
    rm -rf "$dir"

    kv_log "$name ($version): build"
    kv_meson_build "$dir/build" "$py" || { row "$version" - "BUILD FAILED (see $dir/build.*.log)"; return 1; }
    kv_stage "$dir/stage" "$dir"/build/kv_duneth*.so

    # The real cryptography when the interpreter has it, the test double otherwise.
    if PYTHONPATH="$WORK/overlay" "$py" -c 'import cryptography.fernet' 2>/dev/null; then
        pythonpath="$dir/stage:$WORK/overlay"
    else
        pythonpath="$dir/stage:$ROOT/tests/stand_in:$WORK/overlay"
    fi
    # Byte code goes to the work folder, never beside the linked Debian packages or the tests;
    # 3.7 has no pycache prefix, so there it writes none.
    local env=(PYTHONPATH="$pythonpath" PYTHONPYCACHEPREFIX="$WORK/pycache/$name"
               PYTHONDONTWRITEBYTECODE=$([ "${version%.*}" = 3.7 ] && echo 1)
               HYPOTHESIS_STORAGE_DIRECTORY="$WORK/hypothesis/$name")
    crypto=$(cd "$ROOT/tests" && env "${env[@]}" "$py" -c '
import cryptography, kelvaro_duneth.kv_duneth as m, sys
assert m.__file__.startswith(sys.argv[1]), m.__file__
print("stand-in" if getattr(cryptography, "STAND_IN", False) else "real " + cryptography.__version__)
' "$dir/stage/") || { row "$version" - "IMPORT FAILED"; return 1; }

    kv_log "$name ($version): tests, cryptography $crypto"
    result=0
    (cd "$ROOT/tests" && env "${env[@]}" "$py" -m pytest -q -rfEs -p no:cacheprovider \
        -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "${PYTEST_ARGS[@]}") > "$dir/pytest.log" 2>&1 || result=$?
    read -r p f s e <<< "$(kv_counts "$dir/pytest.log")"
    row "$version" "$crypto" "$(printf '%4s passed %3s failed %3s skipped %3s errors' "$p" "$f" "$s" "$e")$(
        [ "$result" = 0 ] || echo "  (pytest exit $result, see $dir/pytest.log)")"
    echo "$p $f $s $e" > "$WORK/$name.counts"
    return "$result"
}

start=$SECONDS
status=0
for name in "${VERSIONS[@]}"; do
    rm -f "$WORK/$name.row" "$WORK/$name.counts"
    run_one "$name" || status=1
done

echo
{
    printf '%-14s %-17s %s\n' CPython cryptography results
    for name in "${VERSIONS[@]}"; do cat "$WORK/$name.row" 2>/dev/null || echo "$name: no result"; done
} | tee "$WORK/summary"
for name in "${VERSIONS[@]}"; do cat "$WORK/$name.counts" 2>/dev/null; done | awk '{p += $1; f += $2; s += $3; e += $4} END {
    printf "matrix: %d passed, %d failed, %d skipped\n", p, f + e, s; exit NR == 0 }' || status=1
echo "($((SECONDS - start)) s; logs in $WORK/<version>/)"
exit "$status"
