#!/usr/bin/env bash
# Cross-compiles the extension for 64-bit ARM Linux and runs the whole test suite under
# qemu-aarch64-static with Debian's arm64 python3.11 and its real `cryptography`.
# Everything it needs comes from Debian: the cross compiler and qemu are installed with apt-get;
# the arm64 interpreter, its headers and libraries are downloaded as .debs (with apt state of
# its own under build/aarch64/apt, so the machine's dpkg architectures stay as they are) and
# unpacked into build/aarch64/sysroot. Emulated, the suite takes several minutes.
# KV_AARCH64_REFRESH=1 downloads the packages again; KV_PYTEST_ARGS replaces `-m "not slow"`.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${KV_AARCH64_DIR:-$ROOT/build/aarch64}
SYSROOT=$WORK/sysroot
PYTHON=$SYSROOT/usr/bin/kv-python3.11   # the wrapper written below
source "$ROOT/tools/matrix/lib.sh"

# arm64 packages: the interpreter, its headers, the real cryptography, and the shared libraries
# that these and the standard library's extension modules load; then architecture-independent ones
# (meson asks the interpreter through distutils, which Debian ships apart).
ARM64_PACKAGES=(python3.11 python3.11-minimal libpython3.11 libpython3.11-stdlib libpython3.11-minimal
                libpython3.11-dev python3-cryptography python3-cffi-backend libstdc++6 libgcc-s1 libc6
                libssl3 libffi8 zlib1g libexpat1 libbz2-1.0 liblzma5 libuuid1 libcrypt1 libsqlite3-0
                libncursesw6 libtinfo6 libreadline8)
ALL_PACKAGES=(python3-distutils)
HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static meson ninja-build pkg-config)

missing=()
for pkg in "${HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    kv_log "installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The sysroot, made again when the package list changes (or on request).
stamp="${ARM64_PACKAGES[*]} ${ALL_PACKAGES[*]}"
if [ "${KV_AARCH64_REFRESH:-}" = 1 ] || [ ! -f "$SYSROOT/.packages" ] || [ "$(cat "$SYSROOT/.packages")" != "$stamp" ]; then
    kv_log "arm64 packages into $SYSROOT"
    apt_opts=(-q -o Dir::State::Lists="$WORK/apt/lists" -o Dir::Cache="$WORK/apt/cache"
              -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
    mkdir -p "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial"
    apt-get "${apt_opts[@]}" update
    rm -rf "$WORK/debs" "$SYSROOT"
    mkdir -p "$WORK/debs" "$SYSROOT"
    (cd "$WORK/debs" && apt-get "${apt_opts[@]}" download "${ARM64_PACKAGES[@]/%/:arm64}" "${ALL_PACKAGES[@]}")
    for deb in "$WORK"/debs/*.deb; do
        dpkg-deb -x "$deb" "$SYSROOT"
    done
    echo "$stamp" > "$SYSROOT/.packages"
fi

# The interpreter as a program on this machine: qemu runs the arm64 binary with the sysroot as its
# root for absolute paths. With argv[0] set to this wrapper, sys.executable names the wrapper, so
# the suite's subprocesses are emulated too (no binfmt_misc registration needed).
cat > "$PYTHON" <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$SYSROOT" -0 "\$0" "$SYSROOT/usr/bin/python3.11" "\$@"
EOF
chmod +x "$PYTHON"
cat > "$WORK/paths.ini" <<EOF
[constants]
sysroot = '$SYSROOT'
python = '$PYTHON'
EOF

kv_log "cross build in $WORK/build"
rm -rf "$WORK/build" "$WORK/stage"
if ! { meson setup "$WORK/build" "$ROOT" --cross-file "$WORK/paths.ini" \
           --cross-file "$ROOT/tools/aarch64-cross.ini" -Dpython="$PYTHON" &&
       ninja -C "$WORK/build"; } > "$WORK/build.log" 2>&1; then
    tail -n 30 "$WORK/build.log"
    echo "aarch64: cross build failed (see $WORK/build.log)" >&2
    exit 1
fi
mkdir -p "$WORK/stage"
cp -r "$ROOT/src/kelvaro_duneth" "$WORK/stage/"
find "$WORK/stage" -name __pycache__ -prune -exec rm -rf {} +
cp "$WORK"/build/kv_duneth*.so "$WORK/stage/kelvaro_duneth/"
kv_overlay "$WORK/overlay"

env=(PYTHONPATH="$WORK/stage:$WORK/overlay" PYTHONPYCACHEPREFIX="$WORK/pycache"
     HYPOTHESIS_STORAGE_DIRECTORY="$WORK/hypothesis")
if [ -n "${KV_PYTEST_ARGS+set}" ]; then
    read -r -a pytest_args <<< "$KV_PYTEST_ARGS"
else
    pytest_args=(-m "not slow")   # wheel and sdist builds: pip and meson-python are not in the sysroot
fi
cd "$ROOT/tests"
about=$(env "${env[@]}" "$PYTHON" -c '
import platform, sys, cryptography, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith(sys.argv[1]) and platform.machine() == "aarch64", (m.__file__, platform.machine())
print("CPython", platform.python_version(), platform.machine(), "cryptography", cryptography.__version__)
' "$WORK/stage/")
kv_log "tests on $about (emulated: several minutes)"
result=0
start=$SECONDS
env "${env[@]}" "$PYTHON" -m pytest -q -rfEs -p no:cacheprovider "${pytest_args[@]}" 2>&1 |
    tee "$WORK/pytest.log" || result=$?
read -r p f s e <<< "$(kv_counts "$WORK/pytest.log")"
echo "$about, $((SECONDS - start)) s"
echo "aarch64: $p passed, $((f + e)) failed, $s skipped"
exit "$result"
