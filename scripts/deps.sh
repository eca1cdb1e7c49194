#!/usr/bin/env bash
# Make sure the named Debian packages are installed.
#
# Usage: scripts/deps.sh TARGET PACKAGE...
#   TARGET names the make target that installs these packages, for the
#   message a user without root gets.
# Installs the missing ones with apt-get (update once, only when something is
# missing). Without root, apt-get cannot run: then list the missing packages,
# say how to install them, and fail.
set -euo pipefail

target=$1
shift
missing=()
for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null) || status=""
    case "$status" in
        *"install ok installed"*) ;;
        *) missing+=("$pkg") ;;
    esac
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    cat >&2 <<MESSAGE
Missing Debian packages: ${missing[*]}
Installing them needs root: as root, run \`make $target\` here (or
\`apt-get install ${missing[*]}\`), then run make again.
MESSAGE
    exit 1
fi
echo "Installing Debian packages: ${missing[*]}"
# One apt at a time: make -j and the architecture roots' set-up may install
# at once, and apt-get fails rather than wait for the lock of another.
exec 9>/run/lock/tarvik-safety-control-apt.lock
flock 9
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
