#!/usr/bin/env bash
# Build the manylinux wheels of one CPython version (x86_64 and aarch64) from the sdist in dist/, into dist/.
#
# Usage: PYTHON=.venv/VERSION/bin/python ZIG=.../zig scripts/wheel.sh
# Each wheel is built by pip from the sdist (in build isolation, as a user's
# pip would), with the version's own interpreter and headers, and tagged
# manylinux_2_17: the module needs nothing but the C library, and zig links
# it against glibc 2.17's symbols (the host's glibc would ask for 2.34).
#   x86_64: compiled by the interpreter's own compiler (GCC), the code that
#     the benchmark measures; linked by `zig cc` for x86_64-linux-gnu.2.17.
#   aarch64: compiled and linked by `zig c++` for aarch64-linux-gnu.2.17,
#     against a copy of the headers with the aarch64 pyconfig.h where the
#     headers are Debian's (multiarch, in the sid chroot); pyenv's headers
#     are of an x86_64 build, whose pyconfig.h an LP64 little-endian Linux
#     shares for everything the module reads (sizes, byte order, alignment).
# scripts/check_wheels.py then asks auditwheel what each wheel needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
: "${PYTHON:?PYTHON: the interpreter of a venv of the version}"
: "${ZIG:?ZIG: the zig compiler (ziglang, the cross group of pyproject.toml)}"
export TARVIK_WERROR=${TARVIK_WERROR:-1}

sdist=$(ls dist/tarvik_safety_control-*.tar.gz)
read -r version soabi include < <("$PYTHON" -c '
import sys, sysconfig
print("%d.%d" % sys.version_info[:2], sysconfig.get_config_var("SOABI"),
      sysconfig.get_paths()["include"])')
glibc=2.17

build() {
    local arch=$1
    shift
    echo "wheel: CPython $version $arch (manylinux_2_17_$arch)"
    env "$@" "$PYTHON" -m pip wheel --quiet --disable-pip-version-check --no-deps \
        --wheel-dir dist \
        --config-settings=--build-option=--plat-name=manylinux_2_17_$arch "$sdist"
}

build x86_64 TARVIK_LINKER="$ZIG cc -target x86_64-linux-gnu.$glibc"

# aarch64: the headers, with that processor's pyconfig.h where there is one.
headers=$root/build/wheel-headers/$version-aarch64
rm -rf "$headers"
mkdir -p "$headers"
cp -r "$include" "$headers/"
multiarch=$(dirname "$include")/aarch64-linux-gnu/$(basename "$include")/pyconfig.h
case "$include" in
    /usr/include/*)
        if [ ! -f "$multiarch" ]; then
            echo "wheel: no $multiarch (Debian's libpython$version-dev:arm64)" >&2
            exit 1
        fi
        cp "$multiarch" "$headers/$(basename "$include")/pyconfig.h"
        ;;
esac
zigcxx="$ZIG c++ -target aarch64-linux-gnu.$glibc"
build aarch64 CC="$zigcxx" CXX="$zigcxx" TARVIK_LINKER="$zigcxx" \
    CFLAGS="-I$headers/$(basename "$include")" CXXFLAGS="-I$headers/$(basename "$include")" \
    SETUPTOOLS_EXT_SUFFIX=".${soabi/x86_64/aarch64}.so"
