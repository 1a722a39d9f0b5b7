#!/usr/bin/env bash
# Cross-compiles the extension for 64-bit ARM Linux with meson and tools/aarch64-cross.ini, and runs
# the whole test suite under qemu's user-mode emulation, once for each Debian arm64 interpreter
# with the aarch64 role in tools/interpreters.txt, with its own `cryptography`, pytest and
# hypothesis. The arm64 packages are the sysroots of tools/lib.sh (build/trees/arm64-RELEASE,
# shared with make wheels; the machine's dpkg architectures and sources stay as they are); qemu is
# the static qemu-aarch64 of the tool tree (kv_arm64_python). Each build must be warning-free and
# each suite must pass; the last lines give one summary per interpreter. Emulated, each suite
# takes several minutes. Work files in build/aarch64/RELEASE.
# Usage (root): bash tools/test-aarch64.sh [RELEASE ...]   (default: every release with the role)
# KV_REFRESH=1 makes the trees again; KV_PYTEST_ARGS replaces `-m "not slow"` (the wheel and sdist
# builds: pip and meson-python are not in the sysroots).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${KV_AARCH64_DIR:-$ROOT/build/aarch64}
source "$ROOT/tools/lib.sh"
RELEASES=(${*:-$(kv_releases aarch64)})
kv_args_from PYTEST_ARGS KV_PYTEST_ARGS -m "not slow"

[ "$(id -u)" = 0 ] || { echo "test-aarch64: needs root (mmdebstrap)" >&2; exit 2; }
kv_require_packages g++-aarch64-linux-gnu meson ninja-build pkg-config
kv_trees "$KV_TOOL_TREE" "${RELEASES[@]/#/arm64-}" || exit 1

# run_release RELEASE: builds, stages and tests; prints the summary line.
run_release() {
    local release=$1 dir=$WORK/$1 py ver python suffix about rc=0 p f s e start=$SECONDS
    py=$(kv_rows aarch64 "$release" | awk '{ print $3; exit }')
    [ -n "$py" ] || { echo "$release: no interpreter with the aarch64 role"; return 1; }
    ver=${py#python}
    python=$(kv_arm64_python "$release" "$py")
    suffix=.cpython-${ver/./}-aarch64-linux-gnu.so
    mkdir -p "$dir"
    printf "[constants]\nsysroot = '%s'\npython = '%s'\nqemu = '%s'\n" "$KV_TREES/arm64-$release" \
        "$python" "$KV_TREES/$KV_TOOL_TREE/usr/bin/qemu-aarch64" > "$dir/paths.ini"
    kv_log "$release: cross build in $dir/build"
    # The C++ runtime linked in, as in the wheels: the sysroots hold no arm64 libstdc++.
    kv_meson_build "$dir/build" "$python" -Dstatic_runtime=true --cross-file "$dir/paths.ini" \
        --cross-file "$ROOT/tools/aarch64-cross.ini" || { echo "$release: cross build FAILED"; return 1; }
    [ -f "$dir/build/kv_duneth$suffix" ] || { echo "$release: no kv_duneth$suffix"; return 1; }
    kv_stage "$dir/stage" "$dir/build/kv_duneth$suffix"
    # Byte code is written, to the work folder only: emulated, compiling the imports of each of
    # the suite's subprocesses again would cost minutes.
    local env=(PYTHONPATH="$dir/stage" PYTHONPYCACHEPREFIX="$dir/pycache" PYTHONDONTWRITEBYTECODE=
               HYPOTHESIS_STORAGE_DIRECTORY="$dir/hypothesis")
    cd "$ROOT/tests"
    about=$(env "${env[@]}" "$python" -c '
import platform, sys, cryptography, pytest, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith(sys.argv[1]), m.__file__
assert platform.machine() == "aarch64", platform.machine()
assert not getattr(cryptography, "STAND_IN", False)
print("CPython", platform.python_version(), "cryptography", cryptography.__version__,
      "pytest", pytest.__version__)
' "$dir/stage/") || { echo "$release: the staged module does not import"; return 1; }
    kv_log "$release: tests on $about, aarch64 (emulated: several minutes; log $dir/pytest.log)"
    env "${env[@]}" "$python" -m pytest -q -rfEs -p no:cacheprovider "${PYTEST_ARGS[@]}" \
        > "$dir/pytest.log" 2>&1 || rc=$?
    read -r p f s e <<< "$(kv_counts "$dir/pytest.log")"
    echo "aarch64 $release: $about: $p passed, $((f + e)) failed, $s skipped ($((SECONDS - start)) s)$(
        [ "$rc" = 0 ] || echo ", pytest exit $rc, see $dir/pytest.log")"
    return "$rc"
}

status=0
summary=()
for release in "${RELEASES[@]}"; do
    line=$(run_release "$release") || status=1
    summary+=("$line")
done
echo
printf '%s\n' "${summary[@]}"
echo "aarch64: $([ "$status" = 0 ] && echo passed || echo FAILED)"
exit "$status"
