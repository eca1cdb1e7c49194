#!/usr/bin/env bash
# A Debian unstable (sid) chroot with CPython 3.14 and 3.15, for the versions pyenv lacks.
#
# Usage:
#   scripts/sid.sh ensure              make the chroot once per machine (root)
#   scripts/sid.sh root                print its folder
#   scripts/sid.sh run COMMAND...      run COMMAND in it, in this clone
#   scripts/sid.sh make VERSION GOAL [VAR=VALUE...]
#                                      make GOAL PY=VERSION in it
#
# Debian's packages of 3.14 and 3.15 (python3.X-dev, -venv and 3.14's -dbg)
# need a newer C library than the host's, so they run in a chroot made by
# debootstrap from the archive the host's apt sources name. It lives outside
# the clone (TARVIK_SID_ROOT, default below), shared by every clone of the
# machine; a stamp file lists the packages installed, so that a package
# added here is installed into an existing chroot. The clone is mounted at
# its own path inside, so make, the venvs (.venv/3.14/, .venv/3.15/) and
# the builds work there as on the host. Making and entering the chroot
# needs root; without it, the message names the command to run as root.
set -euo pipefail
clone=$(cd "$(dirname "$0")/.." && pwd)

sid_root=${TARVIK_SID_ROOT:-/var/cache/tarvik-safety-control/sid}
stamp=$sid_root/.tarvik-complete
# What the project's goals need in the chroot: the interpreters with their
# headers, venv and debug builds; the compiler; valgrind for the instruction
# counts; the arm64 headers, from which scripts/wheel.sh builds the aarch64
# wheels of these versions.
packages=(
    python3.14-dev python3.14-venv python3.14-dbg
    python3.15-dev python3.15-venv
    g++ make ca-certificates valgrind
    libpython3.14-dev:arm64 libpython3.15-dev:arm64
)

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        cat >&2 <<MESSAGE
CPython $1 is not on this machine (scripts/find_python.sh): make runs it in
a Debian sid chroot ($sid_root), which only root can make and enter: as
root, run \`scripts/sid.sh ensure\` here, then run make as root again.
MESSAGE
        exit 1
    fi
}

# The archive the host's apt sources name (deb.debian.org on Debian images).
mirror() {
    local uri
    uri=$(grep -hoE '^(URIs:|deb) *https?://[^ ]*/debian/?( |$)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list.d/*.list 2>/dev/null | head -n1 |
        grep -oE 'https?://[^ ]*' || true)
    echo "${uri:-http://deb.debian.org/debian}"
}

# Lines with the host's apt lock held: debootstrap and apt-get in the chroot
# fetch from the same archive as the host's goals, one at a time.
with_apt_lock() {
    (
        flock 9
        "$@"
    ) 9>/run/lock/tarvik-safety-control-apt.lock
}

# Files a chroot needs from the host to reach the network as the host does.
copy_host_files() {
    cp -L /etc/resolv.conf "$sid_root/etc/resolv.conf" 2>/dev/null || true
    cp -L /etc/hosts "$sid_root/etc/hosts" 2>/dev/null || true
}

in_chroot() {
    # A mount namespace of its own: the mounts end with the command.
    unshare -m -- bash -c '
        set -e
        root=$1 clone=$2
        shift 2
        mount --make-rprivate /
        mkdir -p "$root$clone" "$root/proc" "$root/dev" "$root/tmp"
        mount --bind "$clone" "$root$clone"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --bind /tmp "$root/tmp"
        # The host trusts what it trusts (a proxy of its own, say) for pip
        # in the chroot too.
        bundle=/etc/ssl/certs/ca-certificates.crt
        if [ -f "$bundle" ] && [ -f "$root$bundle" ]; then
            mount --bind "$bundle" "$root$bundle"
        fi
        exec chroot "$root" "$@"
    ' in-chroot "$sid_root" "$clone" "$@"
}

ensure() {
    need_root "${1:-3.14 and 3.15}"
    local wanted=${packages[*]}
    # One at a time: make -j2 and .ci/run's lanes may all enter at once.
    mkdir -p "$(dirname "$sid_root")"
    exec 7>"$sid_root.lock"
    flock 7
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        exec 7>&-
        return
    fi
    if [ ! -x "$sid_root/usr/bin/apt-get" ]; then
        scripts/deps.sh sid debootstrap
        echo "sid: debootstrap into $sid_root (once per machine)"
        # What a killed debootstrap left mounted there stays out of reach.
        findmnt -R -n -o TARGET --list "$sid_root" 2>/dev/null | sort -r |
            xargs -r -n1 umount -l 2>/dev/null || true
        rm -rf --one-file-system "$sid_root"
        mkdir -p "$sid_root"
        with_apt_lock debootstrap --variant=minbase sid "$sid_root" "$(mirror)"
    fi
    copy_host_files
    # sid's Release files are short-lived; a chroot made a while ago still
    # installs from the archive as it is.
    echo 'Acquire::Check-Valid-Until "false";' \
        >"$sid_root/etc/apt/apt.conf.d/99tarvik"
    echo "sid: installing ${packages[*]}"
    with_apt_lock in_chroot /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive bash -c '
        dpkg --add-architecture arm64
        apt-get update -q
        apt-get install -y -q --no-install-recommends "$@"' apt "${packages[@]}" || {
        echo "sid: could not install ${packages[*]} into $sid_root: a package" \
            "gone from Debian's unstable release is named by apt above" >&2
        exit 1
    }
    echo "$wanted" >"$stamp"
    exec 7>&-
}

# The environment passed into the chroot: the project's own switches, pytest's
# and hypothesis's, pip's and the proxies.
passed_env() {
    local name
    echo "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    echo "HOME=${HOME:-/root}"
    echo "LANG=C.UTF-8"
    echo "TARVIK_IN_SID=1"
    for name in $(compgen -e); do
        case "$name" in
            TARVIK_* | PYTEST_* | HYPOTHESIS_* | PIP_* | *_proxy | *_PROXY | \
                SSL_CERT_* | REQUESTS_CA_BUNDLE | MAKEFLAGS | TERM)
                echo "$name=${!name}"
                ;;
        esac
    done
}

run() {
    ensure
    copy_host_files
    local env_args=()
    mapfile -t env_args < <(passed_env)
    in_chroot /usr/bin/env -i "${env_args[@]}" bash -c 'cd "$1" && shift && exec "$@"' \
        run "$PWD" "$@"
}

cd "$clone"
command=${1:-}
shift || true
case "$command" in
    ensure) ensure ;;
    root) echo "$sid_root" ;;
    run) run "$@" ;;
    make)
        version=$1 goal=$2
        shift 2
        need_root "$version"
        # sid's GCC is newer than the compilers the sources are kept free of
        # warnings with, and moves every day: its new warnings show here but
        # do not fail the build.
        run make --no-print-directory "$goal" PY="$version" TARVIK_WERROR=0 "$@"
        ;;
    *)
        sed -n '3,9p' "$0" >&2
        exit 2
        ;;
esac
