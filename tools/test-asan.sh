#!/usr/bin/env bash
# Memory checks of the module (make test-asan):
#  1. AddressSanitizer, then UndefinedBehaviorSanitizer: a sanitizer build of the module,
#     installed in a private virtual environment of Debian's /usr/bin/python3, runs the FULL test
#     suite with the runtime preloaded and PYTHONMALLOC=malloc (every object is then a malloc
#     block that ASan guards); the tests' subprocesses inherit all of it. Every report goes to a
#     log file, also from subprocesses whose output a test captures. Any report, or a failing
#     test, fails. A canary first proves that a report would be seen.
#     GCC's two runtimes, both preloaded into an interpreter not linked with them, honour only one
#     log_path between them: so each sanitizer gets a build and a suite run of its own.
#  2. valgrind memcheck: a plain debug build runs tools/leaks/smoke.py (real cryptography, then
#     the suite's in-process tests, once each). Suppressions: Debian's python3.supp only
#     (CPython's Misc/valgrind-python.supp, for pymalloc's address_in_range). Zero errors, and no
#     definitely-lost block allocated by the module (tools/leaks/vglog.py), are required.
# Builds in build/{asan,ubsan,memcheck}; reports in build/sanitizer-logs/ and build/memcheck.log.
# Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/leaks/common.sh

kv_require_packages g++ meson ninja-build pkg-config python3-dev python3-venv python3-cryptography \
    python3-pytest python3-hypothesis valgrind
PY=/usr/bin/python3
LOGS=$PWD/build/sanitizer-logs
rm -rf "$LOGS"
mkdir -p "$LOGS"

# Canaries: a heap overflow (seen by ASan's memmove interceptor) and a signed overflow in code
# built with -fsanitize=undefined.
echo 'int kv_canary_add(int a, int b) { return a + b; }' >"$LOGS/canary.c"
gcc -shared -fPIC -fsanitize=undefined -o "$LOGS/canary-ubsan.so" "$LOGS/canary.c"
CANARY_asan='import ctypes; ctypes.memmove(ctypes.create_string_buffer(8), b"x" * 64, 64)'
CANARY_ubsan="import ctypes; ctypes.CDLL('$LOGS/canary-ubsan.so').kv_canary_add(2**31 - 1, 1)"

total_reports=0
suite_status=0
# sanitized_suite NAME SANITIZER RUNTIME [PYTEST ARGS...]
sanitized_suite() {
    local name=$1 sanitizer=$2 runtime so python dir rc=0 found file
    runtime=$(g++ -print-file-name="$3")
    shift 3
    echo "== $name: the module built with -fsanitize=$sanitizer (build/$name)"
    so=$(build_variant "build/$name" "$PY" -Dbuildtype=debug "-Db_sanitize=$sanitizer" \
        -Db_lundef=false -Dcpp_args=-fno-omit-frame-pointer)
    ldd "$so" | grep -q "$(basename "$runtime")" || { echo "FAILED: $so lacks $runtime"; exit 1; }
    python=$(variant_venv "build/$name-venv" "$PY" "$so")
    dir=$LOGS/$name
    mkdir -p "$dir/canary" "$dir/check" "$dir/suite"
    run() {  # run LOGDIR COMMAND...
        local logs=$1
        shift
        env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc KV_ADVERSARY_ROUNDS="${KV_ADVERSARY_ROUNDS:-10}" \
            ASAN_OPTIONS="detect_leaks=0:log_path=$logs/report" \
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/report" "$@"
    }
    local canary=CANARY_$name
    run "$dir/canary" "$python" -c "${!canary}" >/dev/null 2>&1 || true
    found=$(find "$dir/canary" -name 'report.*' | wc -l)
    echo "canary: $found report for a deliberate error"
    [[ $found == 1 ]] || { echo "FAILED: $name did not report a deliberate error"; exit 1; }
    file=$(run "$dir/check" "$python" -c 'import kelvaro_duneth.kv_duneth as m; print(m.__file__)')
    [[ $file == "$PWD/build/$name-venv/"* ]] || { echo "FAILED: imported $file"; exit 1; }
    (cd tests && run "$dir/suite" "$python" -m pytest -q -p no:cacheprovider "$@") || rc=$?
    found=$(find "$dir/suite" -name 'report.*' | wc -l)
    echo "$name: $found sanitizer reports from the suite (pytest exit status $rc)"
    for file in "$dir/suite"/report.*; do
        [[ -e $file ]] || continue
        echo "---- $file"
        head -60 "$file"
    done
    total_reports=$((total_reports + found))
    ((rc == 0)) || suite_status=$rc
}

sanitized_suite asan address libasan.so "$@"
sanitized_suite ubsan undefined libubsan.so "$@"

echo "== valgrind memcheck on tools/leaks/smoke.py (build/memcheck)"
so=$(build_variant build/memcheck "$PY" -Dbuildtype=debug)
python=$(variant_venv build/memcheck-venv "$PY" "$so")
vg_rc=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 \
    --suppressions=/usr/lib/valgrind/python3.supp \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    --num-callers=40 --log-file=build/memcheck.log "$python" tools/leaks/smoke.py || vg_rc=$?
[[ $(loaded_from "$python") == "$PWD/build/memcheck-venv/"* ]] || vg_rc=1
"$PY" tools/leaks/vglog.py build/memcheck.log || vg_rc=1

echo "== result: $total_reports sanitizer reports, pytest status $suite_status," \
    "valgrind status $vg_rc"
[[ $total_reports == 0 && $suite_status == 0 && $vg_rc == 0 ]]
