#!/usr/bin/env bash
# The project's virtual environment of one CPython version, .venv/VERSION/
# in the clone, with the named dependency groups of pyproject.toml installed
# from the Package Index.
#
# Usage: scripts/venv.sh VERSION GROUP...   (VERSION: 3.11 ... 3.15, or
# 3.11-dbg and the like for a debug interpreter)
# The interpreter is the one scripts/find_python.sh names. Each group
# installed leaves a stamp, .venv/VERSION/.GROUP, which make compares with
# pyproject.toml.
set -euo pipefail
cd "$(dirname "$0")/.."

# make -j may ask for two groups of one version at once.
mkdir -p .venv
exec 8>".venv/.lock-$1"
flock 8

version=$1
shift
venv=.venv/$version

if [ ! -x "$venv/bin/python" ]; then
    base=$(scripts/find_python.sh "$version")
    found=$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if [ "$found" != "${version%-dbg}" ]; then
        echo "$base is CPython $found, not $version" >&2
        exit 1
    fi
    echo "venv: $venv from $base"
    rm -rf "$venv"
    "$base" -m venv "$venv"
    # Dependency groups need pip 25.1 or later.
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        'pip>=25.1,<27'
fi

for group in "$@"; do
    echo "venv: installing the group '$group' into $venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --group "$group"
    touch "$venv/.$group"
done
