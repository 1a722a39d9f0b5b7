#!/usr/bin/env bash
# Builds into dist/ the sdist and one wheel per row of tools/interpreters.txt with a wheel role,
# repairs and tags each with auditwheel, checks every file with twine, installs each wheel into a
# fresh venv of its own interpreter and runs the suite against it; prints one table at the end.
# How and where each step runs: docs/wheels.md and docs/testing.md (Tooling). Work files under
# build/wheels/, logs and the table in build/wheels/logs/.
# Usage (root): bash tools/wheels/build.sh
#   KV_WHEELS_ONLY="cp39-aarch64 cp312-x86_64 ..."  build and test only these (default: all)
#   KV_WHEELS_PYTEST_ARGS     pytest arguments for x86_64 (default: -m "not slow")
#   KV_WHEELS_AARCH64_PYTEST_ARGS   the same for aarch64 (default: -m "not slow")
#   KV_WHEELS_JOBS            emulated test runs at a time (default 2)
#   KV_REFRESH=1              makes the trees again
#   KV_WHEELS_RETEST=1        no build: twine check and the tests (of the selected targets) on
#                             the files already in dist/; the table also shows the results kept
#                             from earlier runs for the other targets
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$ROOT/build/wheels
LOGS=$WORK/logs
DIST=$ROOT/dist
PYENV_DIR=${PYENV_ROOT:-/root/.pyenv}
source "$ROOT/tools/lib.sh"
PYENV=$KV_PYENV

# The rows of tools/interpreters.txt with a wheel role, as name|architecture|where|interpreter:
# where is pyenv (this machine) or a release (its amd64 tree for x86_64, its arm64 sysroot for
# aarch64); and those with the retest role, whose release tests the x86_64 wheel a second time with
# Debian's interpreter and its real cryptography: name|release|interpreter.
wheel_rows() {  # ROLE ARCH
    kv_rows "$1" | awk -v arch="$2" '{ v = $1; sub(/\./, "", v); print "cp" v "-" arch "|" arch "|" $2 "|" $3 }'
}
mapfile -t TARGETS < <(wheel_rows wheel-x86_64 x86_64; wheel_rows wheel-aarch64 aarch64)
mapfile -t DEBIAN_RETESTS < <(wheel_rows retest x86_64 | cut -d'|' -f1,3,4)
# What the wheels are built with beyond meson.build and pyproject.toml: no warnings, the C++
# runtime linked in, symbols stripped by the linker (meson-python packs the build directory's
# module, not the one `meson install --strip` writes).
WHEEL_ARGS=(-Dwerror=true -Dstatic_runtime=true -Dcpp_link_args=-s)
PYTEST_DEFAULT=(-m "not slow")   # the slow tests build from the sources with meson-python
AARCH64_DEFAULT=(-m "not slow")
kv_args_from PYTEST_ARGS KV_WHEELS_PYTEST_ARGS "${PYTEST_DEFAULT[@]}"
kv_args_from AARCH64_PYTEST_ARGS KV_WHEELS_AARCH64_PYTEST_ARGS "${AARCH64_DEFAULT[@]}"
JOBS=${KV_WHEELS_JOBS:-2}

[ "$(id -u)" = 0 ] || { echo "wheels: needs root (mmdebstrap, chroot, mount)" >&2; exit 2; }
selected() { [ -z "${KV_WHEELS_ONLY:-}" ] || [[ " $KV_WHEELS_ONLY " == *" $1 "* ]]; }
kv_require_packages mmdebstrap meson ninja-build python3-mesonpy git
mkdir -p "$LOGS" "$DIST"
trap kv_unmount_all EXIT
trap 'exit 130' INT TERM HUP
kv_unmount_under "$KV_TREES"

# ---- 1. the trees ---------------------------------------------------------------------------
mapfile -t AMD64_TREES < <(printf '%s\n' "$KV_WHEEL_TREE" "$KV_TOOL_TREE" $(kv_releases retest) \
    $(kv_rows wheel-x86_64 debian | awk '{ print $2 }') | awk '!seen[$0]++')
kv_trees "${AMD64_TREES[@]}" $(kv_releases wheel-aarch64 | sed 's/^/arm64-/') || exit 1
TOOLS=$KV_TREES/$KV_TOOL_TREE
BUILDER=$KV_TREES/$KV_WHEEL_TREE
for tree in "${AMD64_TREES[@]}"; do kv_enter "$KV_TREES/$tree"; done
in_tree() { kv_in_tree "$1" /bin/bash /kv/src/tools/wheels/in-tree.sh "${@:2}"; }

declare -A STATUS WHEEL INTERP
# describe NAME WHERE PYTHON: the interpreter's name in the table
describe() {
    if [ "$2" = pyenv ]; then
        INTERP[$1]="CPython $3 (pyenv)"
    else
        INTERP[$1]="CPython ${3#python} (Debian $2)"
    fi
}
for entry in "${TARGETS[@]}"; do
    IFS='|' read -r name arch where py <<< "$entry"
    describe "$name" "$where" "$py"
done

if [ "${KV_WHEELS_RETEST:-}" != 1 ]; then
# ---- 2. the sdist ---------------------------------------------------------------------------
rm -rf "$WORK/raw" "$WORK/repaired" "$WORK/tests"
rm -f "$DIST"/kelvaro_duneth-*
mkdir -p "$WORK/raw"
kv_log "sdist (log $LOGS/sdist.log)"
(cd "$ROOT" && /usr/bin/python3 -c 'import sys; sys.path.insert(0, "backend"); import kv_backend; print(kv_backend.build_sdist(sys.argv[1]))' \
    "$DIST") > "$LOGS/sdist.log" 2>&1 || { tail -n 20 "$LOGS/sdist.log"; exit 1; }

# ---- 3. the wheels: meson-python in the bullseye tree ------------------------------------------
# Seen from the tree: this machine's root (for pyenv's loader and libraries) at /mnt/host, the
# trees at /mnt/trees, pyenv's interpreters at their own path; bookworm's meson and meson-python
# in /kv/buildtools.
kv_mount "$BUILDER/mnt/host" --bind -o ro /
kv_mount "$BUILDER/mnt/trees" --bind -o ro "$KV_TREES"
kv_mount "$BUILDER$PYENV_DIR" --bind -o ro "$PYENV_DIR"
kv_buildtools "$BUILDER"

# tree_python NAME ROOT PREFIX PROGRAM: prints an x86_64 interpreter of another system (ROOT, as
# seen in the tree), runnable in the bullseye tree: a wrapper in /kv/py/NAME/bin runs PROGRAM with
# ROOT's loader and libraries and itself as argv[0]; its lib and include link to PREFIX's, so that
# sys.prefix, and the headers sysconfig names for meson, are found in the tree.
tree_python() {
    local dir=$BUILDER/kv/py/$1 lib=$2/usr/lib/x86_64-linux-gnu
    mkdir -p "$dir/bin"
    ln -sfn "$3/lib" "$dir/lib"
    ln -sfn "$3/include" "$dir/include"
    printf '#!/bin/sh\nexec %s --library-path %s --argv0 "$0" %s "$@"\n' \
        "$lib/ld-linux-x86-64.so.2" "$lib" "$4" > "$dir/bin/python3"
    chmod +x "$dir/bin/python3"
    echo "/kv/py/$1/bin/python3"
}

build_one() {  # TARGET-ENTRY
    local name arch where py pyexe args=("${WHEEL_ARGS[@]}") log
    IFS='|' read -r name arch where py <<< "$1"
    log=$LOGS/$name-build.log
    case $arch-$where in
    x86_64-pyenv)
        [ -x "$PYENV/$py/bin/python3" ] || { STATUS[$name]="ABSENT ($PYENV/$py/bin/python3)"; return 1; }
        pyexe=$(tree_python "$name" /mnt/host "$PYENV/$py" "$PYENV/$py/bin/python3") ;;
    x86_64-*)
        pyexe=$(tree_python "$name" "/mnt/trees/$where" "/mnt/trees/$where/usr" \
                "/mnt/trees/$where/usr/bin/$py")
        # Debian's pyconfig.h includes <x86_64-linux-gnu/pythonX.Y/pyconfig.h>
        ln -sfn "/mnt/trees/$where/usr/include/x86_64-linux-gnu/$py" \
            "$BUILDER/usr/include/x86_64-linux-gnu/$py" ;;
    aarch64-*)
        pyexe=$(KV_TREES_SEEN_AT=/mnt/trees kv_arm64_python "$where" "$py" tree-)
        printf "[constants]\nsysroot = '%s'\npython = '%s'\nqemu = '%s'\n" "/mnt/trees/arm64-$where" \
            "$pyexe" "/mnt/trees/$KV_TOOL_TREE/usr/bin/qemu-aarch64" > "$BUILDER/kv/work/$name.ini"
        args+=(--cross-file "/kv/work/$name.ini" --cross-file /kv/src/tools/aarch64-cross.ini) ;;
    esac
    kv_log "$name: meson-python under $py in the bullseye tree (log $log)"
    if ! in_tree "$BUILDER" wheel "$pyexe" "/kv/work/$name" "${args[@]}" > "$log" 2>&1; then
        tail -n 20 "$log" >&2
        STATUS[$name]="BUILD FAILED (see $log)"
        return 1
    fi
    if grep -q 'warning:' "$log"; then
        STATUS[$name]="BUILD WARNINGS (see $log)"
        return 1
    fi
    cp "$BUILDER/kv/work/$name"/*.whl "$WORK/raw/"
}

for entry in "${TARGETS[@]}"; do
    name=${entry%%|*}
    selected "$name" || continue
    build_one "$entry" || true
done

# ---- 4. auditwheel and twine (unstable tree) --------------------------------------------------
kv_log "auditwheel show and repair in the unstable tree (log $LOGS/auditwheel.log)"
rm -rf "$TOOLS/kv/wheels"
mkdir -p "$TOOLS/kv/wheels/raw"
cp "$WORK"/raw/*.whl "$TOOLS/kv/wheels/raw/"
in_tree "$TOOLS" audit /kv/wheels/raw /kv/wheels/repaired > "$LOGS/auditwheel.log" 2>&1 ||
    { tail -n 30 "$LOGS/auditwheel.log"; exit 1; }
mkdir -p "$WORK/repaired"
cp "$TOOLS"/kv/wheels/repaired/*.whl "$WORK/repaired/"
cp "$WORK"/repaired/*.whl "$DIST/"
fi   # KV_WHEELS_RETEST
kv_log "twine check (log $LOGS/twine.log)"
rm -rf "$TOOLS/kv/wheels"
mkdir -p "$TOOLS/kv/wheels/repaired"
cp "$DIST"/kelvaro_duneth-*.whl "$TOOLS/kv/wheels/repaired/"
cp "$DIST"/kelvaro_duneth-*.tar.gz "$TOOLS/kv/wheels/"
TWINE=ok
(cd "$TOOLS/kv/wheels" && in_tree "$TOOLS" twine /kv/wheels/*.tar.gz /kv/wheels/repaired/*.whl) \
    > "$LOGS/twine.log" 2>&1 || TWINE=FAILED
cat "$LOGS/twine.log"

# wheel_for NAME: the repaired wheel of a target in dist/
wheel_for() {
    local cp=${1%%-*} arch=${1#*-}
    ls "$DIST"/kelvaro_duneth-*-"$cp"-"$cp"*-*"$arch".whl 2>/dev/null | head -n 1
}

# ---- 5. tests -------------------------------------------------------------------------------
declare -A COUNTS
record() {  # NAME LOG RC: the counts of a pytest log
    local p f s e
    read -r p f s e <<< "$(kv_counts "$2")"
    if [ "$3" != 0 ] && [ $((f + e)) = 0 ]; then f=1; fi   # no count for a crash or usage error
    echo "$p $((f + e)) $s" > "$WORK/tests/$1.counts"
    echo "$4" > "$WORK/tests/$1.args"
    [ "$3" = 0 ] || echo "wheels: tests FAILED for $(basename "${WHEEL[$1]}") (see $2)" >&2
}

test_pyenv() {  # NAME INTERPRETER-VERSION
    local name=$1 pyexe=$PYENV/$2/bin/python3 dir=$WORK/tests/$1 log=$LOGS/$1-pytest.log pp site=()
    local rc=0
    rm -rf "$dir"
    mkdir -p "$dir"
    # The interpreter's own cryptography where it has one (then the venv sees its site-packages),
    # the test double otherwise; pytest and hypothesis from the overlay.
    if "$pyexe" -c 'import cryptography.fernet' 2>/dev/null; then
        site=(--system-site-packages) pp=$WORK/overlay
    else
        pp=$ROOT/tests/stand_in:$WORK/overlay
    fi
    {
        "$pyexe" -m venv "${site[@]}" "$dir/venv" &&
        "$dir/venv/bin/python" -m pip install --no-index --no-deps "${WHEEL[$name]}" &&
        PYTHONPATH=$pp "$dir/venv/bin/python" "$ROOT/tools/wheels/installed.py" "$dir/venv/" &&
        (cd "$ROOT/tests" && PYTHONPATH=$pp PYTHONPYCACHEPREFIX=$dir/pycache \
            PYTHONDONTWRITEBYTECODE=$([ "${2%.*}" = 3.7 ] && echo 1) \
            HYPOTHESIS_STORAGE_DIRECTORY=$dir/hypothesis \
            "$dir/venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider \
            -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "${PYTEST_ARGS[@]}")
    } > "$log" 2>&1 || rc=$?
    record "$name" "$log" "$rc" "${PYTEST_ARGS[*]}"
}

test_in_tree() {  # NAME RELEASE PYTHON RESULT-NAME: the wheel of NAME, tested in an amd64 tree
    local name=$1 tree=$KV_TREES/$2 log=$LOGS/$4-pytest.log rc=0
    mkdir -p "$tree/kv/wheels/test"
    cp "${WHEEL[$name]}" "$tree/kv/wheels/test/"
    in_tree "$tree" test "$3" "/kv/wheels/test/$(basename "${WHEEL[$name]}")" \
        "${PYTEST_ARGS[@]}" > "$log" 2>&1 || rc=$?
    WHEEL[$4]=${WHEEL[$name]}
    record "$4" "$log" "$rc" "${PYTEST_ARGS[*]}"
}

test_aarch64() {  # NAME RELEASE PYTHON (run in the background: writes its counts file only)
    local name=$1 dir=$WORK/tests/$1 log=$LOGS/$1-pytest.log pyexe rc=0
    pyexe=$(kv_arm64_python "$2" "$3")
    rm -rf "$dir"
    mkdir -p "$dir"
    {
        # Debian's pip of the sysroot, seen through the system site-packages, installs into the venv.
        "$pyexe" -m venv --without-pip --system-site-packages "$dir/venv" &&
        "$dir/venv/bin/python" -m pip install --no-index --no-deps "${WHEEL[$name]}" &&
        "$dir/venv/bin/python" "$ROOT/tools/wheels/installed.py" "$dir/venv/" \
            --real-cryptography --machine aarch64 &&
        (cd "$ROOT/tests" && PYTHONPYCACHEPREFIX=$dir/pycache HYPOTHESIS_STORAGE_DIRECTORY=$dir/hypothesis \
            "$dir/venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider "${AARCH64_PYTEST_ARGS[@]}")
    } > "$log" 2>&1 || rc=$?
    record "$name" "$log" "$rc" "${AARCH64_PYTEST_ARGS[*]}"
}

mkdir -p "$WORK/tests"
kv_log "overlay of pytest and hypothesis in $WORK/overlay"
kv_overlay "$WORK/overlay"
for entry in "${TARGETS[@]}"; do
    IFS='|' read -r name arch where py <<< "$entry"
    selected "$name" || continue
    [ -z "${STATUS[$name]:-}" ] || continue
    rm -f "$WORK/tests/$name.counts" "$WORK/tests/$name.args"
    WHEEL[$name]=$(wheel_for "$name")
    [ -n "${WHEEL[$name]}" ] || { STATUS[$name]="NO WHEEL"; continue; }
done

# The emulated runs go in the background, JOBS at a time (a scheduler of their own), while the
# native ones run here.
run_aarch64_tests() {
    local entry name arch where py running=()
    for entry in "${TARGETS[@]}"; do
        IFS='|' read -r name arch where py <<< "$entry"
        selected "$name" && [ "$arch" = aarch64 ] && [ -n "${WHEEL[$name]:-}" ] || continue
        while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 5; done
        kv_log "$name: tests under qemu in the background (log $LOGS/$name-pytest.log)"
        test_aarch64 "$name" "$where" "$py" &
    done
    wait
}
run_aarch64_tests &
aarch64_pids=($!)
for entry in "${TARGETS[@]}"; do
    IFS='|' read -r name arch where py <<< "$entry"
    selected "$name" && [ "$arch" = x86_64 ] && [ -n "${WHEEL[$name]:-}" ] || continue
    kv_log "$name: tests (log $LOGS/$name-pytest.log)"
    if [ "$where" = pyenv ]; then test_pyenv "$name" "$py"; else test_in_tree "$name" "$where" "$py" "$name"; fi
done
for entry in "${DEBIAN_RETESTS[@]}"; do
    IFS='|' read -r name release py <<< "$entry"
    selected "$name" && [ -n "${WHEEL[$name]:-}" ] || continue
    kv_log "$name: tests with Debian $release's $py (log $LOGS/$name@$release-pytest.log)"
    test_in_tree "$name" "$release" "$py" "$name@$release"
done
for pid in "${aarch64_pids[@]}"; do wait "$pid" || true; done

# ---- 6. the table ---------------------------------------------------------------------------
# test_result RESULT-NAME DEFAULT-ARGS: "P passed, F failed, S skipped [args] (cryptography V)"
test_result() {
    local p f s args crypto result
    [ -f "$WORK/tests/$1.counts" ] || { echo "NOT TESTED"; return; }
    read -r p f s < "$WORK/tests/$1.counts"
    result="$p passed, $f failed, $s skipped"
    args=$(cat "$WORK/tests/$1.args" 2>/dev/null || true)
    [ "$args" = "$2" ] || result+=" [pytest $args]"
    crypto=$(grep -m1 -oE '^== .*cryptography [^ ,]+' "$LOGS/$1-pytest.log" 2>/dev/null |
             grep -oE '[^ ]+$' || true)
    [ -z "$crypto" ] || result+=" (cryptography $crypto)"
    echo "$result"
}
run_version() {  # RESULT-NAME: the interpreter version a run's log names
    grep -m1 -oE '^== CPython [0-9.]+' "$LOGS/$1-pytest.log" 2>/dev/null | grep -oE '[0-9.]+$' || true
}
status=0
[ "$TWINE" = ok ] || status=1
{
    printf '%-84s | %-30s | %-7s | %-44s | %7s | %s\n' file interpreter arch tag size tests
    sdist=$(ls "$DIST"/kelvaro_duneth-*.tar.gz)
    printf '%-84s | %-30s | %-7s | %-44s | %7s | %s\n' "$(basename "$sdist")" - - sdist \
        "$(stat -c %s "$sdist")" "twine $TWINE"
    for entry in "${TARGETS[@]}"; do
        IFS='|' read -r name arch where py <<< "$entry"
        whl=${WHEEL[$name]:-$(wheel_for "$name")}
        if [ -z "$whl" ]; then
            printf '%-84s | %-30s | %-7s | %-44s | %7s | %s\n' "($name)" "${INTERP[$name]:-$py}" \
                "$arch" - - "${STATUS[$name]:-NO WHEEL}"
            status=1
            continue
        fi
        tag=$(basename "$whl" .whl | cut -d- -f5)
        if [ "$arch" = aarch64 ]; then default="${AARCH64_DEFAULT[*]}"; else default="${PYTEST_DEFAULT[*]}"; fi
        result=$(test_result "$name" "$default")
        # the exact version from the run, where the log has it
        version=$(run_version "$name")
        [ -z "$version" ] || [ "$where" = pyenv ] || INTERP[$name]="CPython $version (Debian $where)"
        for retest in "${DEBIAN_RETESTS[@]}"; do
            IFS='|' read -r rname release rpy <<< "$retest"
            [ "$rname" = "$name" ] || continue
            result+="; with Debian $release's CPython $(run_version "$name@$release"): "
            result+=$(test_result "$name@$release" "$default")
        done
        printf '%-84s | %-30s | %-7s | %-44s | %7s | %s\n' "$(basename "$whl")" "${INTERP[$name]}" \
            "$arch" "$tag" "$(stat -c %s "$whl")" "$result"
    done
} | tee "$LOGS/summary"
# the table is made in a subshell of the pipe: its verdict is read back from the table
if grep -qE 'NOT TESTED|FAILED|NO WHEEL|ABSENT|BUILD |twine FAILED|[^0-9]([1-9][0-9]*) failed' "$LOGS/summary"; then
    status=1
fi
exit "$status"
