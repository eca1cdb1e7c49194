#!/usr/bin/env bash
# The suite on other processors: Debian's python3 of another architecture,
# unpacked into a private root, runs it against the module built by Debian's
# cross compiler for that architecture (i386 natively, arm64 and s390x
# emulated by qemu-user-static).
#
# Usage:
#   scripts/arches.sh setup ARCH    as root, once per machine: the cross
#                                   compiler, qemu, and the root of ARCH
#   scripts/arches.sh test SUITE    build for the suite's architecture into
#                                   build/SUITE-VERSION/ and run the suite
#                                   there (SUITE: i386, i386-general, arm64,
#                                   s390x; -general: without the fast reader)
#   scripts/arches.sh run ARCH DIR... the suite run by ARCH's interpreter
#                                   against the module that DIR... (on the
#                                   module path in that order) hold, such as
#                                   wheels installed with pip --target
#   scripts/arches.sh python ARCH   the command of ARCH's interpreter
#   scripts/arches.sh version ARCH  the X.Y of Debian's python3 there
# ARCH: i386, arm64, s390x. The roots live in $TARVIK_ARCH_ROOTS (default
# /var/cache/tarvik-safety-control), as ARCH-X.Y/; the suite's tools (pytest,
# hypothesis: pure Python) in .venv/X.Y-ARCH/ of the clone. Extra arguments
# after `test SUITE` go to pytest.
set -euo pipefail
shopt -s inherit_errexit  # a failure inside $(...) stops the script too

root=$(cd "$(dirname "$0")/.." && pwd)
roots=${TARVIK_ARCH_ROOTS:-/var/cache/tarvik-safety-control}
# Also taken by scripts/deps.sh: one apt-get at a time on the machine.
apt_lock=/run/lock/tarvik-safety-control-apt.lock

usage() {
    sed -n '/^# Usage:/,/^# hypothesis/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# arch_facts ARCH: triplet, cross (compiler prefix), qemu (empty: runs
# natively), machine (of wheel tags) and loader (inside the root) of ARCH.
arch_facts() {
    case "$1" in
        i386) triplet=i386-linux-gnu cross=i686-linux-gnu- qemu= machine=i686 \
              loader=lib/ld-linux.so.2 ;;
        arm64) triplet=aarch64-linux-gnu cross=aarch64-linux-gnu- machine=aarch64 \
               qemu=qemu-aarch64-static loader=lib/ld-linux-aarch64.so.1 ;;
        s390x) triplet=s390x-linux-gnu cross=s390x-linux-gnu- machine=s390x \
               qemu=qemu-s390x-static loader=lib/ld64.so.1 ;;
        *) echo "arches.sh: unknown architecture '$1' (i386, arm64, s390x)" >&2
           exit 2 ;;
    esac
}

# The X.Y of Debian's python3, the same for every architecture of the
# release; it names the root and the interpreter in it.
debian_version() {
    local version
    version=$(apt-cache show --no-all-versions python3 2>/dev/null |
        sed -n 's/^Version: \([0-9]*\.[0-9]*\).*/\1/p' | head -n 1)
    if [ -z "$version" ]; then
        echo "arches.sh: apt-cache knows no python3 package (run apt-get update as root)" >&2
        exit 1
    fi
    echo "$version"
}

# The interpreter is run through this script in the root, which stands for
# it as sys.executable (argv[0]), so that the suite's subprocesses run the
# same way, and which finds the standard library beside itself.
wrapper_of() { echo "$roots/$1-$(debian_version)/usr/bin/python"; }

# The packages of the root: the interpreter, its standard library, and the
# shared libraries these and the module (libstdc++6, libgcc-s1) load, by
# apt's own dependencies restricted to ARCH (dpkg, tar and install-info only
# install packages); the headers without their dependencies.
root_packages() {
    local arch=$1 v=$2
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances \
        "python$v-minimal:$arch" "libpython$v-stdlib:$arch" \
        "libstdc++6:$arch" "libgcc-s1:$arch" |
        grep -v '^ ' | grep ":$arch\$" |
        grep -v -E "^(dpkg|tar|install-info):" | sort -u
    echo "libpython$v-dev:$arch"
    echo "python$v-dev:$arch"
}

foreign_arch() {
    local known
    known=$(dpkg --print-foreign-architectures)
    grep -qx "$1" <<<"$known"
}

# What setup ARCH would do, one line each; nothing when all is there.
missing_for() {
    local arch=$1 pkg status
    for pkg in "g++-${cross%-}" qemu-user-static; do
        if [ "$pkg" = qemu-user-static ] && [ -z "$qemu" ]; then continue; fi
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) || status=
        case "$status" in
            *"install ok installed"*) ;;
            *) echo "the Debian package $pkg" ;;
        esac
    done
    if ! foreign_arch "$arch"; then
        echo "dpkg's foreign architecture $arch"
    fi
    if [ ! -x "$(wrapper_of "$arch" 2>/dev/null)" ]; then
        echo "the root of Debian's python3 for $arch in $roots/"
    fi
}

setup() {
    local arch=$1 v missing tmp deb
    arch_facts "$arch"
    missing=$(missing_for "$arch")
    if [ -z "$missing" ]; then
        echo "arches.sh: $arch is set up ($(wrapper_of "$arch"))"
        return
    fi
    if [ "$(id -u)" -ne 0 ]; then
        cat >&2 <<MESSAGE
Missing for the suite on $arch:
$(echo "$missing" | sed 's/^/  /')
Setting it up needs root: as root, run \`scripts/arches.sh setup $arch\` here
(or \`make setup-arches\` for all), once per machine.
MESSAGE
        exit 1
    fi
    local packages=("g++-${cross%-}")
    if [ -n "$qemu" ]; then packages+=(qemu-user-static); fi
    "$root/scripts/deps.sh" setup-arches "${packages[@]}"
    (
        flock 9
        if ! foreign_arch "$arch"; then
            dpkg --add-architecture "$arch"
            apt-get update
        fi
        v=$(debian_version)
        if ! apt-cache show "python$v-minimal:$arch" >/dev/null 2>&1; then
            apt-get update
        fi
        dest=$roots/$arch-$v
        tmp=$dest.new
        rm -rf "$tmp"
        mkdir -p "$tmp/debs"
        echo "arches.sh: unpacking Debian's python$v for $arch into $dest"
        mapfile -t debs < <(root_packages "$arch" "$v")
        (cd "$tmp/debs" && apt-get download "${debs[@]}")
        for deb in "$tmp"/debs/*.deb; do
            dpkg -x "$deb" "$tmp"
        done
        # Debian 13's packages ship /usr alone (the loader in /usr/lib);
        # base-files' links from / are not among them.
        for dir in bin sbin lib lib64; do
            if [ -d "$tmp/usr/$dir" ] && [ ! -e "$tmp/$dir" ]; then
                ln -s "usr/$dir" "$tmp/$dir"
            fi
        done
        rm -rf "$tmp/debs"
        rm -rf "$dest"
        mv "$tmp" "$dest"
    ) 9>"$apt_lock"
    write_wrapper "$arch"
    # The standard library's compiled modules each load: a library left out
    # of the root shows here.
    "$(wrapper_of "$arch")" -c 'import ctypes, ssl, sqlite3, lzma, bz2, zlib, \
pyexpat, readline, decimal, uuid, _testcapi, sys; print(sys.implementation._multiarch)'
}

write_wrapper() {
    local arch=$1 dest wrapper run
    arch_facts "$arch"
    wrapper=$(wrapper_of "$arch")
    dest=${wrapper%/usr/bin/python}
    if [ -n "$qemu" ]; then
        # -L: the loader and every absolute path the program opens are looked
        # for in the root first; -0: argv[0], which is sys.executable.
        run="exec $qemu -L \"\$ROOT\" -0 \"\$0\" \"\$ROOT/usr/bin/python$(debian_version)\" \"\$@\""
    else
        # The root's own loader, with the root's libraries only.
        run="exec \"\$ROOT/$loader\" --library-path \"\$ROOT/lib/$triplet:\$ROOT/usr/lib/$triplet\" --argv0 \"\$0\" \"\$ROOT/usr/bin/python$(debian_version)\" \"\$@\""
    fi
    cat >"$wrapper" <<WRAPPER
#!/bin/sh
# Debian's python$(debian_version) for $arch (made by scripts/arches.sh setup).
ROOT='$dest'
$run
WRAPPER
    chmod 755 "$wrapper"
}

# The wrapper of ARCH, or a message naming what is missing.
interpreter() {
    local arch=$1 missing
    arch_facts "$arch"
    missing=$(missing_for "$arch")
    if [ -n "$missing" ]; then
        cat >&2 <<MESSAGE
Missing for the suite on $arch:
$(echo "$missing" | sed 's/^/  /')
As root, run \`scripts/arches.sh setup $arch\` here (or \`make setup-arches\`).
MESSAGE
        exit 1
    fi
    wrapper_of "$arch"
}

# ensure_tools ARCH: pytest and hypothesis, bounded as in pyproject.toml's
# dev group, in .venv/X.Y-ARCH/, installed by the native interpreter's pip
# as wheels for ARCH's interpreter (hypothesis has a compiled part); one
# install at a time (make test-arches and the packaging tests may both ask).
ensure_tools() {
    local arch=$1 v tools
    v=$(debian_version)
    tools=$root/.venv/$v-$arch
    mkdir -p "$root/.venv"
    (
        flock 8
        if [ -f "$tools/.stamp" ] && [ "$tools/.stamp" -nt "$root/pyproject.toml" ]; then
            exit 0
        fi
        install_tools "$arch" "$v" "$tools"
    ) 8>"$tools.lock" >&2
    echo "$tools"
}

install_tools() {
    local arch=$1 v=$2 tools=$3 native specs
    native=$root/.venv/$v/bin/python
    make -s -C "$root" --no-print-directory venv PY="$v"
    mapfile -t specs < <("$native" - "$root/pyproject.toml" <<'PYTHON'
import re, sys, tomllib
with open(sys.argv[1], "rb") as handle:
    dev = tomllib.load(handle)["dependency-groups"]["dev"]
for spec in dev:
    if re.split(r"[<>=!~ ]", spec)[0] in ("pytest", "hypothesis"):
        print(spec)
PYTHON
    )
    rm -rf "$tools"
    arch_facts "$arch"
    "$native" -m pip install --quiet --disable-pip-version-check --target "$tools" \
        --only-binary=:all: --python-version "$v" --implementation cp \
        --platform "manylinux2014_$machine" --platform "manylinux_2_17_$machine" \
        "${specs[@]}"
    touch "$tools/.stamp"
}

# build_for ARCH OUT [general]: the module compiled by ARCH's cross compiler
# against the root's headers, by setup.py (its flags, warnings as errors)
# run by the native interpreter of the same X.Y, into OUT, beside copies of
# the package's Python files.
build_for() {
    local arch=$1 out=$2 kind=${3:-} dest v
    arch_facts "$arch"
    v=$(debian_version)
    dest=$roots/$arch-$v
    PYTHON=$root/.venv/$v/bin/python
    source "$root/scripts/build_copy.sh"
    # Debian's pyconfig.h includes the architecture's own from
    # <TRIPLET/pythonX.Y/pyconfig.h>, hence the root's include folder too.
    env CC="${cross}gcc" CXX="${cross}g++" LDSHARED="${cross}g++ -shared" \
        LDFLAGS= CFLAGS= CPPFLAGS= \
        SETUPTOOLS_EXT_SUFFIX=".cpython-${v/./}-$triplet.so" \
        TARVIK_GENERAL_READER="${kind:+1}" \
        "$PYTHON" setup.py --quiet build_ext \
        --include-dirs "$dest/usr/include/python$v:$dest/usr/include" \
        --build-lib "$out" --build-temp "$out-temp"
    copy_package "$out"
}

# run_suite ARCH DIR... [-- PYTEST_ARGS...]: the suite (but the packaging
# tests) run from the first DIR by ARCH's interpreter with DIR... and the
# tools on the module path; fails unless the module under test came from one
# of the DIRs.
run_suite() {
    local arch=$1 python tools dirs=() path= dir module report log
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        dirs+=("$(cd "$1" && pwd)")
        shift
    done
    [ $# -gt 0 ] && shift
    [ "${#dirs[@]}" -gt 0 ] || usage
    python=$(interpreter "$arch")
    tools=$(ensure_tools "$arch")
    for dir in "${dirs[@]}"; do path+=$dir:; done
    path+=$tools
    report=$(mktemp)
    log=${dirs[0]%/}-pytest.log
    echo "arches.sh: the suite on $arch ($python)"
    # TARVIK_ARCH tells the tests that need the machine's own interpreter
    # (valgrind's) to skip themselves.
    if ! (cd "${dirs[0]}" && env PYTHONPATH="$path" TARVIK_ARCH="$arch" \
            TARVIK_MODULE_REPORT="$report" "$python" -m pytest -p no:cacheprovider \
            -m "not packaging" "$root/tests" "$@" 2>&1 | tee "$log"); then
        echo "arches.sh: the suite failed on $arch ($log)" >&2
        rm -f "$report"
        return 1
    fi
    module=$(cat "$report")
    rm -f "$report"
    for dir in "${dirs[@]}"; do
        case "$module" in "$dir"/tarvik/safety/control.*.so) return 0 ;; esac
    done
    echo "arches.sh: the suite on $arch tested $module, not a module of ${dirs[*]}" >&2
    return 1
}

test_suite() {
    local suite=$1 arch kind= v out
    shift
    case "$suite" in
        *-general) arch=${suite%-general} kind=general ;;
        *) arch=$suite ;;
    esac
    interpreter "$arch" >/dev/null
    v=$(debian_version)
    out=$root/build/$suite-$v
    make -s -C "$root" --no-print-directory venv PY="$v" >&2  # the build's setuptools
    build_for "$arch" "$out" "$kind"
    if [ -n "$kind" ]; then
        TARVIK_GENERAL_READER=1 run_suite "$arch" "$out" -- "$@"
    else
        run_suite "$arch" "$out" -- "$@"
    fi
}

[ $# -ge 2 ] || usage
command=$1 what=$2
shift 2
case "$command" in
    setup) setup "$what" ;;
    test) test_suite "$what" "$@" ;;
    run) run_suite "$what" "$@" ;;
    python) interpreter "$what" ;;
    version) arch_facts "$what"; debian_version ;;
    *) usage ;;
esac
