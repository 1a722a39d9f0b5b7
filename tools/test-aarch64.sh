#!/usr/bin/env bash
# Cross-compiles the extension for 64-bit ARM Linux and runs the whole test suite under qemu's
# user-mode emulation, once for each of two Debian arm64 interpreters with their real `cryptography`:
#   bookworm   python3.11, cryptography 38, this machine's pytest 7   sysroot build/aarch64/sysroot
#   unstable   python3.14, cryptography 49, unstable's pytest         build/aarch64/unstable/sysroot
# bookworm's suite runs under this machine's qemu-aarch64-static (bookworm's qemu 7.2). unstable's
# C library asks for the terminal settings with the TCGETS2 ioctl, which qemu 7.2 does not emulate
# (isatty() is false on every terminal there): its suite runs under the qemu-aarch64 of unstable's
# amd64 package qemu-user (static binaries), unpacked into build/aarch64/unstable/qemu.
# Everything it needs comes from Debian: the cross compiler and qemu are installed with apt-get;
# the arm64 interpreters, their headers and libraries are downloaded as .debs (with apt state of
# their own under <work>/apt, so the machine's dpkg architectures and sources stay as they are)
# and unpacked into one sysroot per release. Each build must be warning-free and each suite must
# pass; the last lines give one summary per interpreter. Emulated, each suite takes several minutes.
# Usage: bash tools/test-aarch64.sh [RELEASE ...]   (bookworm, unstable; default: both)
# KV_AARCH64_REFRESH=1 downloads the packages again; KV_PYTEST_ARGS replaces `-m "not slow"`.
# The script runs itself once per release (`--release NAME`), so that one failing stops only its own.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${KV_AARCH64_DIR:-$ROOT/build/aarch64}
MIRROR=http://deb.debian.org/debian
source "$ROOT/tools/matrix/lib.sh"

# ---- the whole run: host tools, then each release in a process of its own -------------------
if [ "${1:-}" != --release ]; then
    RELEASES=(${@:-bookworm unstable})
    HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static meson ninja-build pkg-config)
    missing=()
    for pkg in "${HOST_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        kv_log "installing ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
    status=0
    summary=()
    start=$SECONDS
    for release in "${RELEASES[@]}"; do
        line="$WORK/summary-$release"
        rm -f "$line"
        bash "$0" --release "$release" || status=1
        if [ -s "$line" ]; then
            summary+=("$(cat "$line")")
        else
            summary+=("aarch64 $release: FAILED (see the output above)")
            status=1
        fi
    done
    echo
    printf '%s\n' "${summary[@]}"
    echo "aarch64: $([ "$status" = 0 ] && echo passed || echo FAILED), $((SECONDS - start)) s in all"
    exit "$status"
fi

# ---- one release: bash tools/test-aarch64.sh --release NAME ---------------------------------
release=$2
# Per release: the interpreter's version, the work folder, apt's sources (none: this machine's,
# which are bookworm's), the arm64 packages (the interpreter, its headers, the real cryptography,
# and the shared libraries that these and the standard library's extension modules load), the
# architecture-independent ones, and the amd64 package whose qemu-aarch64 runs the arm64 programs
# (none: this machine's qemu-aarch64-static).
case $release in
bookworm)
    PYVER=3.11
    DIR=$WORK
    SOURCES=""
    ARM64_PACKAGES=(python3.11 python3.11-minimal libpython3.11 libpython3.11-stdlib
                    libpython3.11-minimal libpython3.11-dev python3-cryptography python3-cffi-backend
                    libstdc++6 libgcc-s1 libc6 libssl3 libffi8 zlib1g libexpat1 libbz2-1.0 liblzma5
                    libuuid1 libcrypt1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8)
    # meson asks the interpreter through distutils, which Debian ships apart.
    ALL_PACKAGES=(python3-distutils)
    QEMU_PACKAGE=""
    ;;
unstable)
    PYVER=3.14
    DIR=$WORK/unstable
    SOURCES="deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR unstable main"
    # cryptography 49 loads OpenSSL's legacy provider (a package of its own) and imports bcrypt.
    ARM64_PACKAGES=(python3.14 python3.14-minimal libpython3.14 libpython3.14-stdlib
                    libpython3.14-minimal libpython3.14-dev python3-cryptography python3-cffi-backend
                    python3-bcrypt libstdc++6 libgcc-s1 libc6 libssl3t64 openssl-provider-legacy
                    libffi8 zlib1g libzstd1 libexpat1 libbz2-1.0 liblzma5 libuuid1 libmpdec4
                    libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64)
    # pytest and hypothesis of unstable, with what they import: this machine's pytest 7 cannot
    # start on 3.14. The distutils that meson's probe imports comes from tools/distutils_shim.
    ALL_PACKAGES=(python3-pytest python3-pluggy python3-iniconfig python3-packaging
                  python3-pygments python3-hypothesis python3-sortedcontainers python3-attr)
    QEMU_PACKAGE=qemu-user
    ;;
*)
    echo "unknown release $release (bookworm, unstable)" >&2
    exit 2
    ;;
esac
SYSROOT=$DIR/sysroot
PYTHON=$SYSROOT/usr/bin/kv-python$PYVER   # the wrapper written below
if [ -n "$QEMU_PACKAGE" ]; then QEMU=$DIR/qemu/usr/bin/qemu-aarch64; else QEMU=qemu-aarch64-static; fi
SUFFIX=.cpython-${PYVER//./}-aarch64-linux-gnu.so
# fail MESSAGE: ends this release's run, with MESSAGE as its summary line.
fail() {
    echo "aarch64 $release: $*" | tee "$WORK/summary-$release" >&2
    exit 1
}
kv_log "$release: arm64 python$PYVER in $SYSROOT"

# The sysroot, made again when the package list or the sources change (or on request).
stamp="$SOURCES ${ARM64_PACKAGES[*]} ${ALL_PACKAGES[*]} $QEMU_PACKAGE"
if [ "${KV_AARCH64_REFRESH:-}" = 1 ] || [ ! -f "$SYSROOT/.packages" ] ||
   [ "$(cat "$SYSROOT/.packages")" != "$stamp" ]; then
    kv_log "$release: arm64 packages into $SYSROOT"
    apt_opts=(-q -o Dir::State::Lists="$DIR/apt/lists" -o Dir::Cache="$DIR/apt/cache"
              -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
    mkdir -p "$DIR/apt/lists/partial" "$DIR/apt/cache/archives/partial"
    if [ -n "$SOURCES" ]; then
        # Sources and pins of their own; the archive's Release files may be older than the clock.
        mkdir -p "$DIR/apt/sources.list.d" "$DIR/apt/preferences.d"
        echo "$SOURCES" > "$DIR/apt/sources.list"
        apt_opts+=(-o Dir::Etc::SourceList="$DIR/apt/sources.list"
                   -o Dir::Etc::SourceParts="$DIR/apt/sources.list.d"
                   -o Dir::Etc::Preferences="$DIR/apt/preferences"
                   -o Dir::Etc::PreferencesParts="$DIR/apt/preferences.d"
                   -o Acquire::Check-Valid-Until=false)
    fi
    apt-get "${apt_opts[@]}" update
    rm -rf "$DIR/debs" "$SYSROOT" "$DIR/qemu"
    mkdir -p "$DIR/debs" "$SYSROOT"
    (cd "$DIR/debs" && apt-get "${apt_opts[@]}" download "${ARM64_PACKAGES[@]/%/:arm64}" "${ALL_PACKAGES[@]}")
    for deb in "$DIR"/debs/*.deb; do
        dpkg-deb -x "$deb" "$SYSROOT"
    done
    if [ -n "$QEMU_PACKAGE" ]; then
        mkdir -p "$DIR/debs/amd64" "$DIR/qemu"
        (cd "$DIR/debs/amd64" && apt-get "${apt_opts[@]}" download "$QEMU_PACKAGE:amd64")
        dpkg-deb --fsys-tarfile "$DIR"/debs/amd64/"$QEMU_PACKAGE"_*.deb |
            tar -x -C "$DIR/qemu" ./usr/bin/qemu-aarch64
    fi
    # Packages of merged-/usr releases ship nothing under /lib: the links that base-files makes
    # on a real system, so that the program loader is found at /lib/ld-linux-aarch64.so.1.
    for top in bin sbin lib; do
        [ -e "$SYSROOT/$top" ] || [ ! -d "$SYSROOT/usr/$top" ] || ln -s "usr/$top" "$SYSROOT/$top"
    done
    [ -e "$SYSROOT/lib/ld-linux-aarch64.so.1" ] || fail "no program loader in $SYSROOT"
    echo "$stamp" > "$SYSROOT/.packages"
fi

# The interpreter as a program on this machine: qemu runs the arm64 binary with the sysroot as its
# root for absolute paths. With argv[0] set to this wrapper, sys.executable names the wrapper, so
# the suite's subprocesses are emulated too (no binfmt_misc registration needed).
cat > "$PYTHON" <<EOF
#!/bin/sh
exec "$QEMU" -L "$SYSROOT" -0 "\$0" "$SYSROOT/usr/bin/python$PYVER" "\$@"
EOF
chmod +x "$PYTHON"
cat > "$DIR/paths.ini" <<EOF
[constants]
sysroot = '$SYSROOT'
python = '$PYTHON'
qemu = '$QEMU'
EOF
kv_log "$release: emulator $("$QEMU" --version | head -n 1)"

# Debian's meson 1.0 probes the interpreter through distutils, gone from 3.12.
shim=""
[ "${PYVER#3.}" -lt 12 ] || shim="$ROOT/tools/distutils_shim"
kv_log "$release: cross build in $DIR/build"
rm -rf "$DIR/build" "$DIR/stage"
if ! { PYTHONPATH=$shim meson setup "$DIR/build" "$ROOT" --cross-file "$DIR/paths.ini" \
           --cross-file "$ROOT/tools/aarch64-cross.ini" -Dpython="$PYTHON" &&
       ninja -C "$DIR/build"; } > "$DIR/build.log" 2>&1; then
    tail -n 30 "$DIR/build.log"
    fail "cross build failed (see $DIR/build.log)"
fi
if grep -q 'warning:' "$DIR/build.log"; then
    grep -A3 'warning:' "$DIR/build.log" >&2
    fail "the build has warnings (see $DIR/build.log)"
fi
if [ ! -f "$DIR/build/kv_duneth$SUFFIX" ]; then
    ls "$DIR"/build/kv_duneth*.so >&2 || true
    fail "no kv_duneth$SUFFIX in $DIR/build"
fi
mkdir -p "$DIR/stage"
cp -r "$ROOT/src/kelvaro_duneth" "$DIR/stage/"
find "$DIR/stage" -name __pycache__ -prune -exec rm -rf {} +
cp "$DIR/build/kv_duneth$SUFFIX" "$DIR/stage/kelvaro_duneth/"

# pytest and hypothesis: for bookworm, links to this machine's packages; unstable's are in its
# sysroot's dist-packages, which its interpreter searches by itself.
pythonpath=$DIR/stage
if [ "$release" = bookworm ]; then
    kv_overlay "$DIR/overlay"
    pythonpath+=:$DIR/overlay
fi
# Byte code is written, to the work folder only: emulated, compiling the imports of each of the
# suite's subprocesses again would cost minutes.
env=(PYTHONPATH="$pythonpath" PYTHONPYCACHEPREFIX="$DIR/pycache" PYTHONDONTWRITEBYTECODE=
     HYPOTHESIS_STORAGE_DIRECTORY="$DIR/hypothesis")
if [ -n "${KV_PYTEST_ARGS+set}" ]; then
    read -r -a pytest_args <<< "$KV_PYTEST_ARGS"
else
    pytest_args=(-m "not slow")   # wheel and sdist builds: pip and meson-python are not in the sysroot
fi
cd "$ROOT/tests"
about=$(env "${env[@]}" "$PYTHON" -c '
import platform, sys, cryptography, pytest, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith(sys.argv[1]) and m.__file__.endswith(sys.argv[2]), m.__file__
assert platform.machine() == "aarch64", platform.machine()
assert not getattr(cryptography, "STAND_IN", False)
print("CPython", platform.python_version(), "cryptography", cryptography.__version__,
      "pytest", pytest.__version__)
' "$DIR/stage/" "$SUFFIX") || fail "the staged module does not import (see the output above)"
kv_log "$release: tests on $about, aarch64 (emulated: several minutes)"
result=0
start=$SECONDS
env "${env[@]}" "$PYTHON" -m pytest -q -rfEs -p no:cacheprovider "${pytest_args[@]}" 2>&1 |
    tee "$DIR/pytest.log" || result=$?
read -r p f s e <<< "$(kv_counts "$DIR/pytest.log")"
echo "aarch64 $release: $about: $p passed, $((f + e)) failed, $s skipped ($((SECONDS - start)) s)$(
    [ "$result" = 0 ] || echo ", pytest exit $result, see $DIR/pytest.log")" |
    tee "$WORK/summary-$release"
exit "$result"
