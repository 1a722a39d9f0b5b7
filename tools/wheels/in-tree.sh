#!/usr/bin/env bash
# The steps tools/wheels/build.sh runs inside its Debian trees (with chroot, in a clean
# environment). The sources are in /kv/src; work files under /kv/work.
#   compile CXX ABI-TAG OUT.so INCLUDE-ARGS...   (bullseye tree) the extension module, by hand
#   mesonpy PYTHON OUTDIR                        (unstable tree) a wheel through meson-python
#   audit RAW-DIR OUT-DIR                        (unstable tree) auditwheel show and repair
#   twine FILE...                                (unstable tree) twine check
#   test PYTHON WHEEL PYTEST-ARGS...             (unstable tree) fresh venv, pip install, pytest
set -euo pipefail
step=$1
shift
src=/kv/src
# The extension is linked with libstdc++ and libgcc statically: the module then needs only
# libc symbols of the build's glibc.
STATIC_LINK=(-static-libstdc++ -static-libgcc)

case $step in
compile)
    # The flags meson.build sets (C++20, warning_level=2, release: -O3 -DNDEBUG, hidden
    # visibility, no exceptions or RTTI), with -Werror; meson's own build of a Python extension
    # links it the same way (-shared, undefined Python symbols left to the interpreter).
    cxx=$1 out=$3
    shift 3
    mkdir -p "$(dirname "$out")"
    set -x
    "$cxx" "$@" -std=c++20 -O3 -DNDEBUG -fPIC -shared -fvisibility=hidden \
        -fvisibility-inlines-hidden -fno-exceptions -fno-rtti -Wall -Wextra -Werror \
        -Wl,--as-needed -Wl,-O1 "${STATIC_LINK[@]}" "$src"/src/kv_duneth/*.cpp -o "$out"
    ;;
mesonpy)
    py=$1 out=$2
    rm -rf "$out"
    mkdir -p "$out"
    cd "$src"
    "$py" -m pip wheel -v --no-build-isolation --no-deps --no-index -w "$out" \
        --config-settings=setup-args=-Dwerror=true \
        "--config-settings=setup-args=-Dcpp_link_args=${STATIC_LINK[*]}" .
    ;;
audit)
    # For each wheel: `auditwheel show`, the lowest tag it allows, `auditwheel repair` to it.
    raw=$1 out=$2
    rm -rf "$out"
    mkdir -p "$out"
    for whl in "$raw"/*.whl; do
        echo "### auditwheel show $(basename "$whl")"
        shown=$(auditwheel show "$whl")
        echo "$shown"
        plat=$(printf '%s\n' "$shown" | tr -s ' \n' ' ' |
               grep -oE 'following platform tag: "[^"]+"' | head -n 1 | cut -d'"' -f2)
        [ -n "$plat" ] || { echo "no platform tag for $whl" >&2; exit 1; }
        # --plat takes only this machine's architecture by name; "auto" repairs to the tag that
        # `show` reports (the lowest the module allows), for arm64 wheels too: checked below.
        echo "### auditwheel repair --plat auto $(basename "$whl") (expected: $plat)"
        auditwheel repair --plat auto -w "$out" "$whl"
        prefix=$(basename "$whl" | sed -E 's/linux_[a-z0-9_]+\.whl$//')
        ls "$out/$prefix"*.whl | grep -qF -- "$plat" ||
            { echo "the repaired wheel of $whl has no tag $plat: $(ls "$out")" >&2; exit 1; }
    done
    for whl in "$out"/*.whl; do
        echo "### auditwheel show $(basename "$whl") (repaired)"
        auditwheel show "$whl"
    done
    ;;
twine)
    twine --no-color check --strict "$@"
    ;;
test)
    py=$1 whl=$2
    shift 2
    work=/kv/work/test-$py
    rm -rf "$work"
    mkdir -p "$work"
    "$py" -m venv --system-site-packages "$work/venv"
    "$work/venv/bin/python" -m pip install --no-index --no-deps "$whl"
    "$work/venv/bin/python" "$src/tools/wheels/installed.py" "$work/venv/" --real-cryptography
    cd "$src/tests"
    PYTHONPYCACHEPREFIX=$work/pycache HYPOTHESIS_STORAGE_DIRECTORY=$work/hypothesis \
        exec "$work/venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider "$@"
    ;;
*) echo "in-tree: unknown step $step" >&2; exit 2 ;;
esac
