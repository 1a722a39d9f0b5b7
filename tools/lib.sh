# Shared by the scripts under tools/: the table of interpreters, Debian packages, the pytest
# overlay, pytest's summary, meson builds, and the Debian trees (making, caching, mounting, copying
# the sources in, running in them). Source it; it defines functions and a few names only.

# Debian's pure-Python packages that pytest 7.2 and hypothesis 6.67 import, on CPython 3.7 to 3.13
# (exceptiongroup and tomli matter below 3.11; importlib-metadata, zipp, more-itertools and
# typing-extensions on 3.7 only).
KV_OVERLAY_PACKAGES=(python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-attr
                     python3-hypothesis python3-sortedcontainers python3-exceptiongroup python3-tomli
                     python3-importlib-metadata python3-zipp python3-more-itertools
                     python3-typing-extensions)
# bookworm's meson 1.0 and meson-python 0.12 with what they import: pure Python, run in the
# bullseye tree, whose own meson (0.56) is older than meson.build allows.
KV_BUILD_PACKAGES=(meson python3-mesonpy python3-pyproject-metadata python3-packaging python3-tomli
                   python3-colorama python3-typing-extensions)
KV_DIST=usr/lib/python3/dist-packages
KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KV_TREES=$KV_ROOT/build/trees
KV_TABLE=$KV_ROOT/tools/interpreters.txt
KV_PYENV=${PYENV_ROOT:-/root/.pyenv}/versions
# Downloads and Debian trees, kept outside the clone for every run on this machine.
KV_CACHE=${KV_CACHE:-/var/cache/kelvaro-duneth}
# The tree that builds every wheel (the oldest glibc; its own meson is too old, so bookworm's is
# copied in: kv_buildtools) and the one whose tools (qemu-aarch64, auditwheel, twine) all use.
KV_WHEEL_TREE=bullseye
KV_TOOL_TREE=unstable

kv_log() { printf '== %s\n' "$*" >&2; }

# kv_rows [ROLE] [WHERE]: the rows "cpython where interpreter roles" of tools/interpreters.txt, in
# order; those with ROLE, and where WHERE (host, pyenv, by-hand, a release; debian: any release).
kv_rows() {
    awk -v role="${1:-}" -v where="${2:-}" '
        /^[[:space:]]*(#|$)/ { next }
        role != "" && index("," $4 ",", "," role ",") == 0 { next }
        where == "debian" && ($2 == "host" || $2 == "pyenv" || $2 == "by-hand") { next }
        where != "" && where != "debian" && $2 != where { next }
        { print $1, $2, $3, $4 }' "$KV_TABLE"
}

# kv_releases [ROLE]: the Debian releases of the rows (with ROLE), each once, in table order.
kv_releases() { kv_rows "${1:-}" debian | awk '!seen[$2]++ { print $2 }'; }

# kv_debian_interpreters RELEASE: the interpreters of a release's rows; fails for no row.
kv_debian_interpreters() { kv_rows "" "$1" | awk '{ print $3 } END { exit NR == 0 }'; }

kv_installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# kv_require_packages PKG...: installs the Debian packages missing on this machine.
kv_require_packages() {
    local missing=() pkg
    for pkg in "$@"; do kv_installed "$pkg" || missing+=("$pkg"); done
    ((${#missing[@]})) || return 0
    kv_log "installing Debian packages: ${missing[*]}"
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"; } >&2
}

kv_apt_download() { apt-get download -q -o APT::Sandbox::User=root "$@" >/dev/null; }

# kv_debian_mirror: the Debian archive this machine's apt reads (its sources list, in either
# format): the site that serves the machine's own release, which serves the others too.
kv_debian_mirror() {
    apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' |
        awk '$2 ~ /^[a-z]+$/ { print $1; exit }' | grep . ||
        { echo "no Debian release in apt's sources list" >&2; return 1; }
}

# kv_overlay DIR [PKG...]: fills DIR with the top-level entries (packages, modules, metadata) under
# dist-packages of the packages (default: KV_OVERLAY_PACKAGES), as symlinks; with KV_COPY=1 as
# copies (for a tree, where links to this machine do not resolve). Packages installed here are
# taken where they are; the others are fetched with `apt-get download` and unpacked beside DIR.
# Nothing else of dist-packages is used: it holds binaries built for Debian's own 3.11 only.
kv_overlay() {
    local dir=$1 debs pkg root entry entries
    shift
    (($#)) || set -- "${KV_OVERLAY_PACKAGES[@]}"
    debs=$KV_CACHE/debs
    rm -rf "$dir"
    mkdir -p "$dir" "$debs"
    for pkg in "$@"; do
        if kv_installed "$pkg"; then
            root=""
            entries=$(dpkg -L "$pkg")
        else
            root="$debs/$pkg"
            [ -d "$root" ] || (
                flock 9   # one fetch at a time on the machine
                [ ! -d "$root" ] || exit 0
                kv_log "fetching $pkg (not installed here)"
                rm -rf "$root.tmp" "$debs/${pkg}"_*.deb
                # apt's lists may be missing on a fresh machine: fetch them once, then retry.
                cd "$debs" && { kv_apt_download "$pkg" || { apt-get update -q && kv_apt_download "$pkg"; }; }
                dpkg-deb -x "$debs/${pkg}"_*.deb "$root.tmp" && mv "$root.tmp" "$root"
            ) 9>"$debs/.lock"
            entries=$(cd "$root" && find . | sed 's|^\.||')
        fi
        for entry in $(printf '%s\n' "$entries" | sed -n "s|^/$KV_DIST/\([^/]*\).*|\1|p" | sort -u); do
            [ "$entry" = __pycache__ ] && continue
            if [ "${KV_COPY:-}" = 1 ]; then
                cp -a "$root/$KV_DIST/$entry" "$dir/$entry"
            else
                ln -sfn "$root/$KV_DIST/$entry" "$dir/$entry"
            fi
        done
    done
}

# kv_buildtools TREE: KV_BUILD_PACKAGES copied to TREE/kv/buildtools, with a `meson` command in its
# bin/ (tools/wheels/in-tree.sh puts both on the paths).
kv_buildtools() {
    KV_COPY=1 kv_overlay "$1/kv/buildtools" "${KV_BUILD_PACKAGES[@]}"
    mkdir -p "$1/kv/buildtools/bin"
    printf '#!/bin/sh\nexec /usr/bin/python3 -m mesonbuild.mesonmain "$@"\n' > "$1/kv/buildtools/bin/meson"
    chmod +x "$1/kv/buildtools/bin/meson"
}

# kv_args_from ARRAY VARIABLE DEFAULT...: sets ARRAY to the words of VARIABLE when it is set (even
# empty), to DEFAULT otherwise: the scripts' pytest arguments.
kv_args_from() {
    local -n kv_into=$1
    local variable=$2
    shift 2
    if [ -n "${!variable+set}" ]; then read -r -a kv_into <<< "${!variable}"; else kv_into=("$@"); fi
}

# kv_counts LOG: prints "passed failed skipped errors" from pytest's closing line in LOG.
kv_counts() {
    local line n word p=0 f=0 s=0 e=0
    line=$(grep -E '^=* ?[0-9]+ (passed|failed|skipped|errors?|deselected|xfailed|xpassed)|no tests ran' "$1" | tail -n 1)
    for word in passed failed skipped error errors; do
        n=$(printf '%s\n' "$line" | grep -oE "[0-9]+ $word\b" | grep -oE '^[0-9]+' || true)
        case $word in
            passed) p=${n:-0} ;; failed) f=${n:-0} ;; skipped) s=${n:-0} ;;
            error|errors) e=$((e + ${n:-0})) ;;
        esac
    done
    echo "$p $f $s $e"
}

# kv_meson_build DIR PYTHON MESON-OPTION...: configures (or reconfigures) and builds the module in
# DIR for PYTHON, logs in DIR.setup.log and DIR.ninja.log; fails on a compiler warning. Debian's
# meson 1.0 probes the interpreter through distutils, gone from 3.12: tools/distutils_shim then.
kv_meson_build() {
    local dir=$1 python=$2 shim="" reconfigure=""
    shift 2
    "$python" -c 'import distutils' 2>/dev/null || shim=$KV_ROOT/tools/distutils_shim
    [ -f "$dir/build.ninja" ] && reconfigure=--reconfigure
    mkdir -p "$(dirname "$dir")"
    PYTHONPATH=$shim meson setup $reconfigure "$dir" "$KV_ROOT" "-Dpython=$python" "$@" \
        >"$dir.setup.log" 2>&1 || { tail -n 30 "$dir.setup.log" >&2; return 1; }
    ninja -C "$dir" >"$dir.ninja.log" 2>&1 || { tail -n 30 "$dir.ninja.log" >&2; return 1; }
    ! grep -A3 'warning:' "$dir.ninja.log" >&2 || { echo "compiler warnings in $dir" >&2; return 1; }
}

# kv_stage DIR SO: DIR/kelvaro_duneth as installed: the package's files and the module SO.
kv_stage() {
    rm -rf "$1"
    mkdir -p "$1"
    cp -r "$KV_ROOT/src/kelvaro_duneth" "$1/"
    find "$1" -name __pycache__ -prune -exec rm -rf {} +
    cp "$2" "$1/kelvaro_duneth/"
}

# ---- Debian trees -------------------------------------------------------------------------------
# RELEASE (amd64, entered with chroot) and arm64-RELEASE (unpacked only: a sysroot for qemu), made
# once per machine in $KV_CACHE/trees and used through a copy of hard links in build/trees, into
# which the scripts only add or replace files, never rewrite one in place (docs/testing.md).

kv_tree_packages() {  # NAME
    local release=${1#arm64-} py
    for py in $(kv_debian_interpreters "$release"); do
        printf '%s\n' "$py" "$py-venv"
        if [ "$1" = "$release" ]; then echo "$py-dev"; else echo "lib$py-dev"; fi
    done
    printf '%s\n' python3-cryptography python3-pytest python3-hypothesis python3-pip
    # meson asks the interpreter through distutils up to 3.11 (tools/distutils_shim after that)
    kv_rows "" "$release" | awk '{ split($1, v, ".") } v[2] < 12 { found = 1 } END { exit !found }' &&
        echo python3-distutils
    [ "$1" = "$release" ] || return 0
    printf '%s\n' g++ ninja-build pkg-config
    if [ "$release" = "$KV_WHEEL_TREE" ]; then echo g++-aarch64-linux-gnu; else printf '%s\n' meson python3-mesonpy; fi
    [ "$release" != "$KV_TOOL_TREE" ] || printf '%s\n' python3-auditwheel patchelf twine qemu-user
}

# kv_tree NAME: build/trees/NAME, the copy of the cached tree, made first where its stamp differs.
# On failure, one line on stderr names the tree and its log.
kv_tree() {
    local name=$1 cache=$KV_CACHE/trees/$1 dir=$KV_TREES/$1 suite=${1#arm64-} variant=apt arch=amd64
    local pkgs stamp mirror
    [ "$suite" = "$name" ] || { variant=extract arch=arm64; }
    kv_debian_interpreters "$suite" >/dev/null || { echo "tree $name: no such release in $KV_TABLE" >&2; return 1; }
    mirror=$(kv_debian_mirror) || return 1
    pkgs=$(kv_tree_packages "$name" | sort -u | paste -sd, -)
    stamp=$(printf 'variant=%s arch=%s suite=%s mirror=%s packages=%s\n' \
            "$variant" "$arch" "$suite" "$mirror" "$pkgs" | sha256sum | cut -d' ' -f1)
    mkdir -p "$KV_CACHE/trees" "$KV_TREES"
    # one maker per tree on the machine; other runs wait for it, then copy
    (
        flock 9
        if [ "${KV_REFRESH:-}" = 1 ] || [ "$(cat "$cache/.kv-packages" 2>/dev/null)" != "$stamp" ]; then
            kv_make_tree "$cache" "$suite" "$variant" "$arch" "$mirror" "$pkgs" "$stamp" || exit 1
        fi
        [ "$(cat "$dir/.kv-packages" 2>/dev/null)" != "$stamp" ] || exit 0
        [ -z "$(kv_mounts_under "$dir")" ] || { echo "tree $name: still mounted under $dir" >&2; exit 1; }
        rm -rf --one-file-system "$dir"
        cp -al "$cache" "$dir.new" && mv "$dir.new" "$dir"
    ) 9>"$cache.lock"
}

# kv_make_tree DIR SUITE VARIANT ARCH MIRROR PACKAGES STAMP: mmdebstrap into DIR (log DIR.log).
kv_make_tree() {
    local dir=$1 suite=$2 variant=$3 arch=$4 mirror=$5 pkgs=$6 stamp=$7 top
    kv_log "making $dir ($suite, $arch, $variant; log $dir.log)"
    rm -rf --one-file-system "$dir" "$dir.new"
    if ! mmdebstrap --variant="$variant" --architectures="$arch" \
            --aptopt='Acquire::Check-Valid-Until "false"' --include="$pkgs" \
            "$suite" "$dir.new" "$mirror" > "$dir.log" 2>&1; then
        echo "tree $(basename "$dir"): mmdebstrap failed: $(grep -E '^(E|W): ' "$dir.log" | tail -n 1) (log $dir.log)" >&2
        return 1
    fi
    if [ "$variant" = extract ]; then
        # From trixie on the packages ship their files under /usr only; the /bin, /sbin and /lib
        # links of a merged /usr (where the interpreter names its loader) come from the maintainer
        # scripts an extracted tree does not run.
        for top in bin sbin lib; do
            [ -e "$dir.new/$top" ] || [ -L "$dir.new/$top" ] || ln -s "usr/$top" "$dir.new/$top"
        done
        # qemu -L looks a path up in the sysroot first: with the device nodes and links mmdebstrap
        # puts in dev/ (ptmx -> pts/ptmx, an empty pts/), pseudo-terminals cannot be opened. With
        # dev/ empty, /dev is this machine's.
        find "$dir.new/dev" -mindepth 1 -delete
    fi
    echo "$stamp" > "$dir.new/.kv-packages"
    mv "$dir.new" "$dir"
}

# kv_trees NAME...: makes the trees in parallel; each failure has said its line.
kv_trees() {
    local pids=() pid name status=0
    kv_require_packages mmdebstrap
    for name in "$@"; do kv_tree "$name" & pids+=($!); done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    return "$status"
}

# kv_arm64_python RELEASE PYTHON [TAG]: a wrapper (printed) running the arm64 interpreter under the
# tool tree's qemu-aarch64 (qemu 11, static; the machine's qemu 7.2 does not emulate TCGETS2,
# which unstable's C library uses for isatty()). With argv[0] the wrapper, sys.executable names it
# and the suite's subprocesses are emulated too. With KV_TREES_SEEN_AT, the wrapper (named with
# TAG) finds the trees there: for use inside another tree.
kv_arm64_python() {
    local at=${KV_TREES_SEEN_AT:-$KV_TREES} wrapper=usr/bin/kv-${3:-}$2
    rm -f "$KV_TREES/arm64-$1/$wrapper"   # a new file: never write through a link into the cache
    cat > "$KV_TREES/arm64-$1/$wrapper" <<EOF
#!/bin/sh
exec "$at/$KV_TOOL_TREE/usr/bin/qemu-aarch64" -L "$at/arm64-$1" -0 "\$0" "$at/arm64-$1/usr/bin/$2" "\$@"
EOF
    chmod +x "$KV_TREES/arm64-$1/$wrapper"
    echo "$at/arm64-$1/$wrapper"
}

# Mounts into trees: each target is appended to MOUNTED; a script traps EXIT with kv_unmount_all,
# which undoes them in reverse order, also on failure.
MOUNTED=()
kv_mount() {  # kv_mount TARGET MOUNT-ARGUMENTS...
    local target=$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    MOUNTED+=("$target")
}
kv_unmount_all() {
    local i
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTED[i]}" 2>/dev/null || umount -l "${MOUNTED[i]}" || true
    done
    MOUNTED=()
}

# kv_mounts_under DIR: the mount points under DIR, one a line.
kv_mounts_under() { findmnt -rno TARGET | grep -F "$1/" || true; }

# kv_unmount_under DIR: undoes the mounts under DIR that a killed run left behind (deepest first).
kv_unmount_under() {
    local target
    kv_mounts_under "$1" | sort -r | while read -r target; do
        kv_log "unmounting $target, left by an earlier run"
        umount "$target" 2>/dev/null || umount -l "$target"
    done
}

# kv_enter TREE: the sources (the work tree without .git and build output) copied to TREE/kv/src,
# TREE/kv/work emptied, /proc and /dev/pts mounted. Refuses while anything is mounted in TREE.
kv_enter() {
    [ -z "$(kv_mounts_under "$1")" ] || { echo "still mounted in $1: $(kv_mounts_under "$1")" >&2; return 1; }
    rm -rf --one-file-system "$1/kv"
    mkdir -p "$1/kv/src" "$1/kv/work"
    tar -C "$KV_ROOT" -cf - --exclude=./.git --exclude=./.venv --exclude=./build \
        --exclude='./builddir*' --exclude=./dist --exclude='./.mesonpy-*' --exclude=.hypothesis \
        --exclude=.pytest_cache --exclude=__pycache__ --exclude='*.egg-info' . |
        tar -C "$1/kv/src" -xf -
    kv_mount "$1/proc" -t proc proc
    kv_mount "$1/dev/pts" -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts
}

# kv_in_tree TREE COMMAND...: COMMAND in TREE, in a clean environment.
kv_in_tree() {
    local tree=$1
    shift
    chroot "$tree" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 "$@"
}
