# Shared by tools/test-asan.sh and tools/test-leaks.sh: packages, variant builds, staging.
# Source it from the repository root.

# need_packages PKG...: installs the Debian packages that are missing.
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing Debian packages: ${missing[*]}"
        apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    fi
}

# build_variant DIR PYTHON MESON_OPTION...: configures (or reconfigures) and builds the module
# in DIR for the interpreter PYTHON; prints the path of the built extension.
build_variant() {
    local dir=$1 python=$2
    shift 2
    if [[ -f $dir/build.ninja ]]; then
        meson setup --reconfigure "$dir" "-Dpython=$python" "$@" >"$dir.setup.log" 2>&1
    else
        mkdir -p "$(dirname "$dir")"
        meson setup "$dir" "-Dpython=$python" "$@" >"$dir.setup.log" 2>&1
    fi || { cat "$dir.setup.log" >&2; return 1; }
    ninja -C "$dir" >"$dir.ninja.log" 2>&1 || { cat "$dir.ninja.log" >&2; return 1; }
    local suffix
    suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    [[ -f $dir/kv_duneth$suffix ]] || {
        echo "no kv_duneth$suffix in $dir (built for another interpreter?)" >&2
        return 1
    }
    echo "$dir/kv_duneth$suffix"
}

# variant_venv VENV PYTHON SO: a fresh virtual environment of PYTHON (with the system site
# packages: pytest, hypothesis, cryptography) holding the package kelvaro_duneth, its Python files
# from src/kelvaro_duneth and the extension SO; prints the interpreter's path. No PYTHONPATH is
# involved, so the tests' own subprocesses and fresh environments see what they would see with an
# ordinary install.
variant_venv() {
    local venv python=$2 so=$3 site
    venv=$(realpath -m "$1")
    rm -rf "$venv"
    "$python" -m venv --without-pip --system-site-packages "$venv"
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    cp -r src/kelvaro_duneth "$site/kelvaro_duneth"
    cp "$so" "$site/kelvaro_duneth/"
    echo "$venv/bin/python"
}

# loaded_from PYTHON: the file of the extension that PYTHON imports (in the current environment).
loaded_from() {
    "$1" -c 'import kelvaro_duneth.kv_duneth as m; print(m.__file__)'
}
