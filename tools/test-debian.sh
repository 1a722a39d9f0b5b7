#!/usr/bin/env bash
# Builds the extension inside the Debian tree of each release of tools/interpreters.txt, as the
# wheels are built (tools/wheels/in-tree.sh wheel, -Dwerror=true; any "warning:" fails), and runs
# the whole suite on the installed wheel with each interpreter's own real `cryptography`
# (in-tree.sh test). Logs and the table: build/debian/. More in docs/testing.md.
# Usage (root): bash tools/test-debian.sh [RELEASE ...]   (default: every release of the table)
# KV_REFRESH=1 makes the trees again.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
LOGS=$ROOT/build/debian
source "$ROOT/tools/lib.sh"
RELEASES=(${*:-$(kv_releases)})

[ "$(id -u)" = 0 ] || { echo "test-debian: needs root (mmdebstrap, chroot, mount)" >&2; exit 2; }
for release in "${RELEASES[@]}"; do
    kv_debian_interpreters "$release" >/dev/null ||
        { echo "test-debian: unknown release $release" >&2; exit 2; }
done
mkdir -p "$LOGS"
trap kv_unmount_all EXIT
trap 'exit 130' INT TERM HUP   # the EXIT trap unmounts
kv_unmount_under "$KV_TREES"

in_tree() { kv_in_tree "$1" /bin/bash /kv/src/tools/wheels/in-tree.sh "${@:2}"; }
ROWS=()
row() { ROWS+=("$(printf '%-9s | %-14s | %-12s | %-10s | %s' "$@")"); }
status=0

# run_release RELEASE: copies the sources in, then builds and tests for each interpreter.
run_release() {
    local release=$1 tree=$KV_TREES/$1 py log about version crypto compiler p f s e rc
    if ! kv_tree "$release"; then
        row "$release" - - - "TREE FAILED (see $KV_CACHE/trees/$release.log)"
        status=1
        return 0
    fi
    kv_enter "$tree"
    [ "$release" != "$KV_WHEEL_TREE" ] || kv_buildtools "$tree"
    compiler="g++ $(chroot "$tree" g++ -dumpfullversion)"
    for py in $(kv_debian_interpreters "$release"); do
        log=$LOGS/$release-$py
        kv_log "$release $py: build (log $log-build.log)"
        if ! in_tree "$tree" wheel "$py" "/kv/work/$py" -Dwerror=true > "$log-build.log" 2>&1; then
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
        kv_log "$release $py: tests (log $log-pytest.log)"
        rc=0
        in_tree "$tree" test "$py" "$(tail -n 1 "$log-build.log")" > "$log-pytest.log" 2>&1 || rc=$?
        tail -n 1 "$log-pytest.log" >&2
        # the line tools/wheels/installed.py prints: "== CPython X.Y.Z MACHINE, cryptography V, ..."
        about=$(grep -m1 '^== CPython' "$log-pytest.log" || true)
        version=$(printf '%s\n' "$about" | awk '{ print $3 }')
        crypto=$(printf '%s\n' "$about" | sed -nE 's/.*cryptography ([^,]+),.*/\1/p')
        read -r p f s e <<< "$(kv_counts "$log-pytest.log")"
        if [ "$rc" != 0 ] && [ $((f + e)) = 0 ]; then
            f=1   # pytest failed without counting a failure (crash, usage error): see the log
        fi
        [ "$rc" = 0 ] && [ $((f + e)) = 0 ] || status=1
        row "$release" "${version:-$py}" "${crypto:--}" "$compiler" "$p passed, $((f + e)) failed, $s skipped"
    done
    kv_unmount_all
}

kv_trees "${RELEASES[@]}" || true   # in parallel; a tree that failed is tried again below
for release in "${RELEASES[@]}"; do
    run_release "$release"
done

{
    printf '%-9s | %-14s | %-12s | %-10s | %s\n' release interpreter cryptography compiler result
    printf '%s\n' "${ROWS[@]}"
} | tee "$LOGS/summary"
exit "$status"
