#!/usr/bin/env bash
# Builds the extension inside Debian trees of several releases and runs the whole test suite
# there, with each release's own compiler, interpreters and real `cryptography`:
#   bullseye python3.9 | bookworm python3.11 | trixie python3.13 | unstable python3.14, python3.15
# Each tree is made with mmdebstrap (installed with apt-get when missing) in
# build/debian/<release> and kept between runs; it is made again when its package list (or
# suite, mirror, variant) changes: the tree holds a hash of those in .kv-packages. The sources
# (the work tree without .git, .venv and build output) are copied to /kv/src in the tree. During
# the run /proc and /dev/pts are mounted in the tree; a trap unmounts them on every exit.
# In the tree, for each interpreter: a venv with --system-site-packages, the package built
# warning-free and installed into it, then `python -m pytest` in tests/.
#   - meson (bookworm and later): pip install --no-build-isolation --no-deps --no-index, through
#     meson-python with -Dwerror=true.
#   - bullseye has meson 0.56 and no meson-python, and meson.build needs meson >= 1.0: there the
#     sources are compiled by hand with the tree's g++ and the flags that meson.build sets
#     (python3.9-config --includes, -std=c++20, -Wall -Wextra, hidden visibility, no exceptions
#     or RTTI, -DNDEBUG), with -O2 and -Werror, and the package directory (its .py, .pyi, py.typed and the built
#     module) is copied into the venv's site-packages. Without meson-python the suite skips
#     the wheel and sdist tests there.
# Any "warning:" in a build log fails that build too. Logs: build/debian/logs/.
# Usage (root): bash tools/test-debian.sh [RELEASE ...]   (default: all four)
# KV_DEBIAN_REFRESH=1 makes the trees again.
set -euo pipefail

# ---- inside a tree: bash /kv/src/tools/test-debian.sh --in-tree STEP PYTHON ----------------
if [ "${1:-}" = --in-tree ]; then
    step=$2 py=$3
    src=/kv/src work=/kv/work/$3
    venv=$work/venv
    case $step in
    build)
        rm -rf "$work"
        mkdir -p "$work"
        "$py" -m venv --system-site-packages "$venv"
        cd "$src"
        if [ -e /usr/bin/meson ] && "$py" -c 'import mesonpy' 2>/dev/null; then
            "$venv/bin/python" -m pip install -v --no-build-isolation --no-deps --no-index \
                --config-settings=setup-args=-Dwerror=true .
        else
            ext=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
            site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
            pkg=$site/kelvaro_duneth
            mkdir -p "$pkg"
            set -x
            # shellcheck disable=SC2046  # the include flags are words
            g++ $("$py-config" --includes) -std=c++20 -O2 -DNDEBUG -fPIC -shared \
                -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti \
                -Wall -Wextra -Werror src/kv_duneth/*.cpp -o "$pkg/kv_duneth$ext"
            cp src/kelvaro_duneth/*.py src/kelvaro_duneth/*.pyi src/kelvaro_duneth/py.typed "$pkg/"
        fi
        ;;
    about)  # "interpreter version|cryptography version|compiler version" of the installed build
        cd /kv
        "$venv/bin/python" - "$venv/" <<'EOF'
import platform, subprocess, sys
import cryptography, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith(sys.argv[1]), m.__file__
assert not getattr(cryptography, "STAND_IN", False)
gxx = subprocess.run(["g++", "-dumpfullversion"], capture_output=True, text=True, check=True)
print(f"{platform.python_version()}|{cryptography.__version__}|g++ {gxx.stdout.strip()}")
EOF
        ;;
    test)
        cd "$src/tests"
        exec "$venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider
        ;;
    *) echo "unknown step $step" >&2; exit 2 ;;
    esac
    exit 0
fi

# ---- on this machine ------------------------------------------------------------------------
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$ROOT/build/debian
LOGS=$WORK/logs
MIRROR=http://deb.debian.org/debian
RELEASES=("$@")
[ $# -gt 0 ] || RELEASES=(bullseye bookworm trixie unstable)
source "$ROOT/tools/matrix/lib.sh"

interpreters() { kv_debian_interpreters "$1"; }

packages() {  # one a line, sorted
    local py
    for py in $(interpreters "$1"); do printf '%s\n' "$py-dev" "$py-venv"; done
    printf '%s\n' python3-cryptography python3-pytest python3-hypothesis meson ninja-build g++ \
        pkg-config
    [ "$1" = bullseye ] || echo python3-mesonpy   # not in bullseye
}

[ "$(id -u)" = 0 ] || { echo "test-debian: needs root (mmdebstrap, chroot, mount)" >&2; exit 2; }
for release in "${RELEASES[@]}"; do
    interpreters "$release" >/dev/null ||
        { echo "test-debian: unknown release $release" >&2; exit 2; }
done
if ! command -v mmdebstrap >/dev/null; then
    kv_log "installing mmdebstrap"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap
fi
mkdir -p "$LOGS"

trap kv_unmount_all EXIT
trap 'exit 130' INT TERM HUP   # the EXIT trap unmounts
kv_unmount_under "$WORK"

mount_in() {  # mount_in TARGET MOUNT-ARGUMENTS...
    local target=$1
    shift
    mount "$@" "$target"
    MOUNTED+=("$target")
}

# ensure_tree RELEASE: makes build/debian/RELEASE unless it is there with the same package list.
ensure_tree() {
    local release=$1 tree=$WORK/$1 pkgs stamp
    pkgs=$(packages "$release" | sort | paste -sd, -)
    stamp=$(printf 'variant=apt suite=%s mirror=%s packages=%s\n' "$release" "$MIRROR" "$pkgs" |
            sha256sum | cut -d' ' -f1)
    if [ "${KV_DEBIAN_REFRESH:-}" != 1 ] && [ -f "$tree/.kv-packages" ] &&
       [ "$(cat "$tree/.kv-packages")" = "$stamp" ]; then
        return 0
    fi
    if [ -n "$(kv_mounts_under "$tree")" ] || [ -n "$(kv_mounts_under "$tree.new")" ]; then
        echo "test-debian: file systems are still mounted under $tree: $(kv_mounts_under "$tree")" >&2
        return 1
    fi
    kv_log "$release: making the tree in $tree (about a minute; log $LOGS/$release-mmdebstrap.log)"
    rm -rf --one-file-system "$tree" "$tree.new"
    if ! mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
            --include="$pkgs" "$release" "$tree.new" "$MIRROR" \
            > "$LOGS/$release-mmdebstrap.log" 2>&1; then
        tail -n 20 "$LOGS/$release-mmdebstrap.log" >&2
        return 1
    fi
    echo "$stamp" > "$tree.new/.kv-packages"
    mv "$tree.new" "$tree"
}

in_tree() {  # in_tree TREE STEP PYTHON: this script's in-tree part, in a clean environment
    chroot "$1" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 /bin/bash /kv/src/tools/test-debian.sh --in-tree "$2" "$3"
}

ROWS=()
row() { ROWS+=("$(printf '%-9s | %-14s | %-12s | %-10s | %s' "$@")"); }
status=0

# run_release RELEASE: copies the sources in, then builds and tests for each interpreter.
run_release() {
    local release=$1 tree=$WORK/$1 py log about version crypto compiler p f s e rc
    if ! ensure_tree "$release"; then
        row "$release" - - - "TREE FAILED (see $LOGS/$release-mmdebstrap.log)"
        status=1
        return 0
    fi
    rm -rf --one-file-system "$tree/kv"
    mkdir -p "$tree/kv/src"
    tar -C "$ROOT" -cf - --exclude=./.git --exclude=./.venv --exclude=./build \
        --exclude='./builddir*' --exclude=./dist --exclude='./.mesonpy-*' --exclude=.hypothesis \
        --exclude=.pytest_cache --exclude=__pycache__ --exclude='*.egg-info' . |
        tar -C "$tree/kv/src" -xf -
    mount_in "$tree/proc" -t proc proc
    mount_in "$tree/dev/pts" -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts
    for py in $(interpreters "$release"); do
        log=$LOGS/$release-$py
        kv_log "$release $py: build (log $log-build.log)"
        if ! in_tree "$tree" build "$py" > "$log-build.log" 2>&1; then
            tail -n 20 "$log-build.log" >&2
            row "$release" "$py" - - "BUILD FAILED (see $log-build.log)"
            status=1
            continue
        fi
        if grep -q 'warning:' "$log-build.log"; then
            grep 'warning:' "$log-build.log" >&2
            row "$release" "$py" - - "BUILD WARNINGS (see $log-build.log)"
            status=1
            continue
        fi
        if ! about=$(in_tree "$tree" about "$py" 2> "$log-about.log"); then
            cat "$log-about.log" >&2
            row "$release" "$py" - - "IMPORT FAILED (see $log-about.log)"
            status=1
            continue
        fi
        IFS='|' read -r version crypto compiler <<< "$about"
        kv_log "$release: CPython $version, cryptography $crypto, $compiler:" \
            "tests (log $log-pytest.log)"
        rc=0
        in_tree "$tree" test "$py" > "$log-pytest.log" 2>&1 || rc=$?
        tail -n 1 "$log-pytest.log" >&2
        read -r p f s e <<< "$(kv_counts "$log-pytest.log")"
        if [ "$rc" != 0 ] && [ $((f + e)) = 0 ]; then
            f=1   # pytest failed without counting a failure (crash, usage error): see the log
        fi
        [ "$rc" = 0 ] && [ $((f + e)) = 0 ] || status=1
        row "$release" "$version" "$crypto" "$compiler" "$p passed, $((f + e)) failed, $s skipped"
    done
    kv_unmount_all
}

for release in "${RELEASES[@]}"; do
    run_release "$release"
done

{
    printf '%-9s | %-14s | %-12s | %-10s | %s\n' release interpreter cryptography compiler result
    printf '%s\n' "${ROWS[@]}"
} | tee "$LOGS/summary"
exit "$status"
