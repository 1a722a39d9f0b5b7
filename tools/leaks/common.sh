# Shared by tools/test-asan.sh and tools/test-leaks.sh: variant builds and their venvs.
# Source it from the repository root.
source tools/lib.sh

# build_variant DIR PYTHON MESON_OPTION...: configures (or reconfigures) and builds the module
# in DIR for the interpreter PYTHON; prints the path of the built extension.
build_variant() {
    local dir=$1 python=$2 suffix
    shift 2
    kv_meson_build "$dir" "$python" "$@" || return 1
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
