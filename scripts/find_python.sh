#!/usr/bin/env bash
# Print the interpreter of one CPython version on this machine, or fail naming it.
#
# Usage: scripts/find_python.sh [--quiet] VERSION
#   VERSION: X.Y (3.11 ... 3.15), or X.Y-dbg for Debian's debug interpreter
#   (a Py_DEBUG build, pythonX.Y-dbg from the package of that name).
# BASE_PYTHON when set, else pyenv's newest X.Y.z, else pythonX.Y on PATH
# (in the sid chroot of scripts/sid.sh, Debian's). --quiet: no message when
# there is none (the Makefile asks so, to hand the version to the chroot).
set -euo pipefail

quiet=
if [ "${1:-}" = --quiet ]; then
    quiet=1
    shift
fi
version=$1

if [ -n "${BASE_PYTHON:-}" ]; then
    echo "$BASE_PYTHON"
    exit 0
fi
case "$version" in
    *-dbg)
        command -v "python$version" && exit 0
        [ -n "$quiet" ] || cat >&2 <<MESSAGE
No debug CPython ${version%-dbg} (python$version): Debian's package
python$version installs it (\`make test-debug\` does, as root).
MESSAGE
        exit 1
        ;;
esac
root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
# The newest patch release first (sort -V), by its full path.
for candidate in $(ls -d "$root"/versions/"$version".*/bin/python"$version" \
        2>/dev/null | sort -rV); do
    if [ -x "$candidate" ]; then
        echo "$candidate"
        exit 0
    fi
done
command -v "python$version" && exit 0
[ -n "$quiet" ] || cat >&2 <<MESSAGE
No CPython $version on this machine: neither pyenv's (${root}/versions/$version.*)
nor python$version on PATH. Install it (\`pyenv install $version\`), set
BASE_PYTHON to its interpreter, or leave $version out (make PYTHONS=...).
MESSAGE
exit 1
