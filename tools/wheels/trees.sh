# Sourced by tools/wheels/build.sh: the Debian trees the wheels are built, repaired and tested in.
#   build/wheels/trees/unstable     amd64 tree (mmdebstrap --variant=apt, run with chroot):
#                                   python3.14 and python3.15, meson-python, auditwheel, patchelf, twine,
#                                   and qemu-user, whose static qemu-aarch64 runs the arm64 tests
#   build/wheels/trees/bullseye     amd64 tree: the compilers (and python3.9, for tests)
#   build/wheels/trees/trixie       amd64 tree: python3.13, for tests
#   build/wheels/sysroots/RELEASE   arm64 packages unpacked (mmdebstrap --variant=extract: the
#                                   listed packages and their dependencies, no maintainer scripts),
#                                   for the cross build's headers and for running under qemu
# Each holds a hash of its suite, mirror, variant, architecture and package list in .kv-packages
# and is made again when that changes (or with KV_WHEELS_REFRESH=1).

WHEELS_MIRROR=http://deb.debian.org/debian

unstable_tree_packages() {
    printf '%s\n' python3.14-dev python3.14-venv python3.15-dev python3.15-venv python3-pip \
        python3-cryptography python3-pytest python3-hypothesis python3-mesonpy meson ninja-build \
        g++ pkg-config python3-auditwheel patchelf twine qemu-user
}

sysroot_packages() {  # RELEASE
    local py
    for py in $(kv_debian_interpreters "$1"); do
        printf '%s\n' "$py" "lib$py-dev" "$py-venv"
    done
    printf '%s\n' python3-cryptography python3-pytest python3-hypothesis python3-pip
    # meson asks the interpreter through distutils up to 3.11 (tools/distutils_shim after that)
    case $1 in bullseye|bookworm) echo python3-distutils ;; esac
}

# make_tree DIR SUITE VARIANT ARCH PACKAGE...: makes DIR with mmdebstrap unless its stamp matches.
make_tree() {
    local dir=$1 suite=$2 variant=$3 arch=$4 pkgs stamp log
    shift 4
    pkgs=$(printf '%s\n' "$@" | sort | paste -sd, -)
    stamp=$(printf 'variant=%s arch=%s suite=%s mirror=%s packages=%s\n' \
            "$variant" "$arch" "$suite" "$WHEELS_MIRROR" "$pkgs" | sha256sum | cut -d' ' -f1)
    if [ "${KV_WHEELS_REFRESH:-}" != 1 ] && [ -f "$dir/.kv-packages" ] &&
       [ "$(cat "$dir/.kv-packages")" = "$stamp" ]; then
        return 0
    fi
    if [ -n "$(kv_mounts_under "$dir")" ]; then
        echo "wheels: file systems are still mounted under $dir" >&2
        return 1
    fi
    log=$LOGS/tree-$(basename "$(dirname "$dir")")-$(basename "$dir").log
    kv_log "making $dir ($suite, $arch, $variant; log $log)"
    rm -rf --one-file-system "$dir" "$dir.new"
    mkdir -p "$(dirname "$dir")"
    if ! mmdebstrap --variant="$variant" --architectures="$arch" \
            --aptopt='Acquire::Check-Valid-Until "false"' --include="$pkgs" \
            "$suite" "$dir.new" "$WHEELS_MIRROR" > "$log" 2>&1; then
        tail -n 20 "$log" >&2
        return 1
    fi
    echo "$stamp" > "$dir.new/.kv-packages"
    mv "$dir.new" "$dir"
}

ensure_unstable_tree() {
    # shellcheck disable=SC2046  # one package a word
    make_tree "$TREES/unstable" unstable apt amd64 $(unstable_tree_packages)
}

ensure_sysroot() {  # RELEASE
    local dir
    # shellcheck disable=SC2046
    make_tree "$SYSROOTS/$1" "$1" extract arm64 $(sysroot_packages "$1") || return 1
    # From trixie on the packages ship their files under /usr only; the /bin, /sbin and /lib
    # links of a merged /usr (where the interpreter names its loader) come from the maintainer
    # scripts an extracted tree does not run.
    for dir in bin sbin lib; do
        [ -e "$SYSROOTS/$1/$dir" ] || [ -L "$SYSROOTS/$1/$dir" ] || ln -s "usr/$dir" "$SYSROOTS/$1/$dir"
    done
    # qemu -L looks a path up in the sysroot first: with the device nodes and links mmdebstrap
    # puts in dev/ (ptmx -> pts/ptmx, an empty pts/), pseudo-terminals cannot be opened. With
    # dev/ empty, /dev is this machine's.
    find "$SYSROOTS/$1/dev" -mindepth 1 -delete
}

# What an amd64 tree needs to test a wheel with its Debian interpreter and real cryptography.
debian_test_packages() {
    printf '%s\n' python3-venv python3-pip python3-cryptography python3-pytest python3-hypothesis
}

# build/wheels/trees/bullseye: the oldest toolchain here (glibc 2.31, g++ 10, and the g++ 10
# cross compiler for arm64 with its glibc 2.31). Static libstdc++ and libgcc from a newer
# release reference newer glibc symbols (arc4random 2.36, _dl_find_object 2.35, ...), so the
# extension modules are compiled here. Its python3.9 also tests the x86_64 cp39 wheel.
bullseye_tree_packages() { printf '%s\n' g++ g++-aarch64-linux-gnu; debian_test_packages; }

ensure_bullseye_tree() {
    # shellcheck disable=SC2046
    make_tree "$TREES/bullseye" bullseye apt amd64 $(bullseye_tree_packages)
}

# build/wheels/trees/trixie: python3.13 and cryptography 43, for the x86_64 cp313 wheel.
ensure_trixie_tree() {
    # shellcheck disable=SC2046
    make_tree "$TREES/trixie" trixie apt amd64 python3.13 $(debian_test_packages)
}
