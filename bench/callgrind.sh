#!/bin/bash
# Instruction counts per call under callgrind, from a copy of the module built with -g.
#
#   bash bench/callgrind.sh [ROW ...]      rows of bench/callgrind_driver.py (default: stand-ins)
#
# Builds the current sources with the release flags plus debug info (-O3 -g -DNDEBUG) in
# $BUILD, stages the result in $STAGE (first on PYTHONPATH, for these runs only), and for each
# row prints instructions per call ((Ir of CALLS calls - Ir of none) / CALLS) and the functions
# that take the instructions spent inside the module's entry (function_vectorcall, inclusive
# of what it calls). Rows named floor_* and py_* (the inline and pure-Python forms) get the
# total only: compare e.g. encrypt_data with floor_encrypt. The installed package is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PY:-$PWD/.venv/bin/python}
BUILD=${BUILD:-/tmp/bprof}
STAGE=${STAGE:-/tmp/bprof-stage}
OUT=${OUT:-/tmp/bprof-out}
CALLS=${CALLS:-200000}
WARMUP=${WARMUP:-100}
TOP=${TOP:-25}
ROWS=("$@")
[ ${#ROWS[@]} -gt 0 ] || ROWS=(empty floor_encrypt encrypt_data encrypt_data_kw decrypt_data
                               encrypt_string floor_encrypt_string decrypt_string floor_decrypt_string
                               decrypt_string_kw decrypt_data_kw floor_decrypt_guarded)

source tools/lib.sh
kv_meson_build "$BUILD" "$PY" -Dbuildtype=release -Ddebug=true -Db_ndebug=true
kv_stage "$STAGE" "$BUILD"/kv_duneth*.so
mkdir -p "$OUT"

total_ir() {  # out-name row calls [valgrind options] -> total Ir of the run
    local out=$1 row=$2 calls=$3; shift 3
    PYTHONPATH="$STAGE" PYTHONHASHSEED=0 valgrind --tool=callgrind "$@" \
        --callgrind-out-file="$OUT/$out" "$PY" bench/callgrind_driver.py "$row" "$calls" "$WARMUP" \
        2>&1 | sed -n 's/^==[0-9]*== Collected : //p'
}

# Self instructions per call by function, from a run collected only inside the module's entry:
# first the module's own functions, then what CPython does on its behalf.
breakdown() {
    callgrind_annotate --inclusive=no --auto=no --threshold=100 "$1" 2>/dev/null | "$PY" -c '
import re, sys
calls, top = int(sys.argv[1]) + int(sys.argv[3]), int(sys.argv[2])  # warm-up calls count too
own, other, total = {}, {}, 0
for line in sys.stdin:
    m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*?):(.*?)(?: \[(.*)\])?$", line)
    if not m:
        continue
    ir = int(m.group(1).replace(",", ""))
    name = re.sub(r"\(.*\)$", "", m.group(3).replace("(anonymous namespace)::", ""))
    name = re.sub(r"^_object\* ", "", name)
    name = re.sub(r"\.lto_priv\.\d+|\x27\d+", "", name)
    where = own if "src/kv_duneth" in m.group(2) else other
    where[name] = where.get(name, 0) + ir
    total += ir
print(f"   {total / calls:8.1f}  inside the module entry, in all (self instructions per call)")
for title, table in (("module code", own), ("CPython, called from the module", other)):
    print(f"   {sum(table.values()) / calls:8.1f}  {title}:")
    for name, ir in sorted(table.items(), key=lambda kv: -kv[1])[:top]:
        if ir / calls >= 0.5:
            print(f"   {ir / calls:12.1f}  {name}")
' "$CALLS" "$TOP" "$WARMUP"
}

for row in "${ROWS[@]}"; do
    zero=$(total_ir "$row.0.out" "$row" 0)
    full=$(total_ir "$row.$CALLS.out" "$row" "$CALLS")
    echo "== $row: $(( (full - zero) / CALLS )) instructions per call, loop included"
    case $row in empty|floor_*|py_*) continue ;; esac
    # pickle.dumps reaches the reduce row through its method descriptor, construction the
    # class's tp_init: neither passes through a function object
    case $row in
        dumps) toggle='*kvd::entry<*' ;;
        construct) toggle='kvd::*cipher_init*' ;;
        *) toggle='kvd::*function_vectorcall*' ;;
    esac
    total_ir "$row.inside.out" "$row" "$CALLS" --toggle-collect="$toggle" >/dev/null
    breakdown "$OUT/$row.inside.out"
done
