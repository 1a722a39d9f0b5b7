#!/usr/bin/env bash
# The steps run inside the Debian trees (with chroot, in a clean environment) by
# tools/wheels/build.sh and tools/test-debian.sh. The sources are in /kv/src; work files under /kv/work.
#   wheel PYTHON OUTDIR SETUP-ARG...   the build backend's build_wheel under PYTHON, as pip calls it
#                                      (prints the wheel's path last):
#                                      the tree's meson-python, or bookworm's where the caller put
#                                      it in /kv/buildtools (bullseye's meson is too old)
#   audit RAW-DIR OUT-DIR              (unstable tree) auditwheel show and repair
#   twine FILE...                      (unstable tree) twine check
#   test PYTHON WHEEL PYTEST-ARGS...   fresh venv, pip install, pytest
set -euo pipefail
step=$1
shift
src=/kv/src

case $step in
wheel)
    py=$1 out=$2
    shift 2
    if [ -d /kv/buildtools ]; then
        export PYTHONPATH=/kv/buildtools PATH=/kv/buildtools/bin:$PATH
    fi
    # meson 1.0 probes the interpreter through distutils, gone from 3.12
    "$py" -c 'import distutils' 2>/dev/null ||
        export PYTHONPATH=${PYTHONPATH:+$PYTHONPATH:}$src/tools/distutils_shim
    rm -rf "$out"
    mkdir -p "$out"
    cd "$src"
    "$py" - "$out" "$@" <<'EOF'
import os, sys
sys.path.insert(0, "backend")  # the project's build backend: meson-python's, plus LICENSE
import kv_backend
out, *args = sys.argv[1:]
print(os.path.join(out, kv_backend.build_wheel(out, {"builddir": out + "/build", "setup-args": args})))
EOF
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
        # The glibc symbols' tag; libpython, which the 3.7 module links, repair removes.
        plat=$(printf '%s\n' "$shown" | tr -s ' \n' ' ' |
               grep -oE '(following platform tag|constrains the platform tag to):? "[^"]+"' |
               tail -n 1 | cut -d'"' -f2)
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
