# Sourced by the scripts that build tarvik.safety.control into a folder of
# build/, beside copies of the package's Python files, and run the whole
# pytest suite against that build (sanitize.sh, general.sh; coverage.sh for
# the copies). Sets `root` (and makes it the current folder), PYTHON (the
# interpreter of a venv of the project's, `make` passes its own) and
# `version`, its major.minor, which names the build folders; the callers set
# -euo pipefail.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
PYTHON=${PYTHON:-$root/.venv/3.11/bin/python}
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
export TARVIK_WERROR=${TARVIK_WERROR:-1}  # warnings are errors in our own builds

# copy_package OUT: the module built into OUT needs its siblings beside it.
copy_package() {
    local file
    cp tarvik/__init__.py "$1/tarvik/"
    for file in tarvik/safety/*.py tarvik/safety/py.typed tarvik/safety/*.pyi; do
        if [ -e "$file" ]; then cp "$file" "$1/tarvik/safety/"; fi
    done
}

# build_into OUT TEMP: the module built into OUT (objects in TEMP) beside
# copies of the package's Python files; built again only when a source, a
# header or namespace.py is newer than it (setup.py's own flags are not
# watched: `make clean` after changing them).
build_into() {
    "$PYTHON" setup.py build_ext --build-lib "$1" --build-temp "$2"
    copy_package "$1"
}

# in_build OUT COMMAND...: COMMAND run from OUT with OUT on the module path,
# so that the copy in OUT comes first (python -m adds the current folder),
# ahead of the in-place build of the clone, with the assignments of the
# array run_env in its environment.
run_env=()
in_build() {
    local out=$1
    shift
    (cd "$out" && env PYTHONPATH="$out" "${run_env[@]}" "$@")
}

# test_build NAME OUT PYTEST_ARGS...: the whole suite run against the module
# built into OUT (its output also in OUT-pytest.log); fails, with a message
# starting "NAME: ", when the interpreter would import another copy, when
# the run fails, or when the session did not test that module.
test_build() {
    local name=$1 out=$2 module log report
    shift 2
    module=$(in_build "$out" "$PYTHON" -c \
        'import tarvik.safety.control as m; print(m.__file__)')
    case "$module" in
        "$out"/tarvik/safety/control.*.so) ;;
        *) echo "$name: expected the module from $out, got: $module" >&2
           return 1 ;;
    esac
    echo "$name: testing $module"
    # pytest runs in OUT: test paths given from the clone's root are made
    # whole, and stand for the whole suite.
    local arg args=() tests=$root/tests
    for arg in "$@"; do
        if [ "${arg#/}" = "$arg" ] && [ -e "$root/${arg%%::*}" ]; then
            arg=$root/$arg
            tests=
        fi
        args+=("$arg")
    done
    set -- ${tests:+"$tests"} "${args[@]}"
    log=$out-pytest.log
    report=$out-module.txt
    rm -f "$report"
    if ! in_build "$out" env TARVIK_MODULE_REPORT="$report" "$PYTHON" -m pytest \
            -p no:cacheprovider "$@" 2>&1 | tee "$log"; then
        echo "$name: the test run failed or was stopped ($log)" >&2
        return 1
    fi
    if [ "$(cat "$report" 2>/dev/null)" != "$module" ]; then
        echo "$name: the test session did not report the module of $out" >&2
        return 1
    fi
}
