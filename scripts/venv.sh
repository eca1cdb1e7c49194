#!/usr/bin/env bash
# The project's virtual environment of one CPython version, .venv/VERSION/
# in the clone, with the named dependency groups of pyproject.toml installed
# from the Package Index.
#
# Usage: scripts/venv.sh VERSION GROUP...   (VERSION: 3.11, 3.12, 3.13)
# The interpreter is BASE_PYTHON when set, else pyenv's newest VERSION.x,
# else pythonVERSION on PATH; none fails, naming the version. Each group
# installed leaves a stamp, .venv/VERSION/.GROUP, which make compares with
# pyproject.toml.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$1
shift
venv=.venv/$version

find_python() {
    local root candidate
    if [ -n "${BASE_PYTHON:-}" ]; then
        echo "$BASE_PYTHON"
        return
    fi
    root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    # The newest patch release first (sort -V), by its full path.
    for candidate in $(ls -d "$root"/versions/"$version".*/bin/python"$version" \
            2>/dev/null | sort -rV); do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    command -v "python$version" && return
    cat >&2 <<MESSAGE
No CPython $version on this machine: neither pyenv's (${root}/versions/$version.*)
nor python$version on PATH. Install it (\`pyenv install $version\`), set
BASE_PYTHON to its interpreter, or leave $version out (make PYTHONS=...).
MESSAGE
    return 1
}

if [ ! -x "$venv/bin/python" ]; then
    base=$(find_python)
    found=$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if [ "$found" != "$version" ]; then
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
