# Shared by test-matrix.sh and test-aarch64.sh: the pytest overlay and reading pytest's summary.
# Source it; it defines functions only.

# Debian's pure-Python packages that pytest 7.2 and hypothesis 6.67 import, on CPython 3.7 to 3.13
# (exceptiongroup and tomli matter below 3.11; importlib-metadata, zipp, more-itertools and
# typing-extensions on 3.7 only).
KV_OVERLAY_PACKAGES=(python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-attr
                     python3-hypothesis python3-sortedcontainers python3-exceptiongroup python3-tomli
                     python3-importlib-metadata python3-zipp python3-more-itertools
                     python3-typing-extensions)
KV_DIST=usr/lib/python3/dist-packages

kv_log() { printf '== %s\n' "$*" >&2; }

kv_apt_download() { apt-get download -q -o APT::Sandbox::User=root "$@" >/dev/null; }

# kv_overlay DIR: fills DIR with symlinks to the top-level entries (packages, modules, metadata)
# of KV_OVERLAY_PACKAGES under dist-packages. Packages installed on this machine are linked where
# they are; the others are fetched with `apt-get download` and unpacked beside DIR. Nothing else of
# dist-packages is linked: it holds binaries built for Debian's own 3.11 only.
kv_overlay() {
    local dir=$1 debs pkg root entry entries
    debs="$(dirname "$dir")/overlay-debs"
    rm -rf "$dir"
    mkdir -p "$dir" "$debs"
    for pkg in "${KV_OVERLAY_PACKAGES[@]}"; do
        if dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            root=""
            entries=$(dpkg -L "$pkg")
        else
            root="$debs/$pkg"
            if [ ! -d "$root" ]; then
                kv_log "fetching $pkg (not installed here)"
                rm -rf "$root.tmp" "$debs/${pkg}"_*.deb
                # apt's lists may be missing on a fresh machine: fetch them once, then retry.
                (cd "$debs" && { kv_apt_download "$pkg" || { apt-get update -q && kv_apt_download "$pkg"; }; })
                dpkg-deb -x "$debs/${pkg}"_*.deb "$root.tmp" && mv "$root.tmp" "$root"
            fi
            entries=$(cd "$root" && find . | sed 's|^\.||')
        fi
        for entry in $(printf '%s\n' "$entries" | sed -n "s|^/$KV_DIST/\([^/]*\).*|\1|p" | sort -u); do
            [ "$entry" = __pycache__ ] && continue
            ln -sfn "$root/$KV_DIST/$entry" "$dir/$entry"
        done
    done
    [ -e "$dir/pytest" ] && [ -e "$dir/hypothesis" ] || { echo "overlay in $dir is incomplete" >&2; return 1; }
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

# kv_debian_interpreters RELEASE: the CPython interpreters a Debian release ships.
kv_debian_interpreters() {
    case $1 in
    bullseye) echo python3.9 ;;
    bookworm) echo python3.11 ;;
    trixie) echo python3.13 ;;
    unstable) echo python3.14 python3.15 ;;
    *) return 1 ;;
    esac
}

# Mounts into Debian trees: a script appends each target to MOUNTED and traps EXIT with
# kv_unmount_all, which undoes them in reverse order, also on failure.
MOUNTED=()
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
