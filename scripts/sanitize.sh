#!/usr/bin/env bash
# Build tarvik.safety.control with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan/ (beside copies of the package's Python files) and run the
# whole pytest suite against that build.
#
# The interpreter itself is not instrumented: the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends the interpreter's own allocations
# through them too, so a use-after-free of a Python object is caught.
# Extra arguments go to pytest, e.g. scripts/sanitize.sh -k compute
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
PYTHON=${PYTHON:-/usr/bin/python3}
CXX=${CXX:-g++}
out=$root/build/asan

export TARVIK_SANITIZE=1  # read by setup.py; the suite skips pip-install tests
export TARVIK_WERROR=${TARVIK_WERROR:-1}  # warnings are errors in our own builds
rm -rf "$out/tarvik"
"$PYTHON" setup.py build_ext --force \
    --build-lib "$out" --build-temp "$root/build/asan-temp"

# The built module needs its siblings beside it.
cp tarvik/__init__.py "$out/tarvik/"
for file in tarvik/safety/*.py tarvik/safety/py.typed tarvik/safety/*.pyi; do
    [ -e "$file" ] && cp "$file" "$out/tarvik/safety/"
done

runtimes=""
for lib in libasan.so libubsan.so; do
    path=$("$CXX" -print-file-name="$lib")
    if [ ! -e "$path" ] || [ "${path#/}" = "$path" ]; then
        echo "sanitize: $CXX has no $lib (install g++ with its sanitizer runtimes)" >&2
        exit 1
    fi
    runtimes="$runtimes $path"
done

run_sanitized() {
    # cwd build/asan puts the sanitized package first on sys.path
    # (python -m adds the cwd), ahead of the in-place build in the repository.
    (cd "$out" && env \
        LD_PRELOAD="${runtimes# }" \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$out" \
        ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$PYTHON" "$@")
}

module=$(run_sanitized -c 'import tarvik.safety.control as m; print(m.__file__)')
case "$module" in
    "$out"/tarvik/safety/control.*.so) ;;
    *) echo "sanitize: expected the module from $out, got: $module" >&2
       exit 1 ;;
esac
echo "sanitize: testing $module"

# --capture=sys: a sanitizer report is written to file descriptor 2 as the
# process dies; pytest's default fd capture would swallow it.
log=$root/build/asan-pytest.log
if ! run_sanitized -m pytest -p no:cacheprovider --capture=sys \
        "$root/tests" "$@" 2>&1 | tee "$log"; then
    echo "sanitize: the test run failed or a sanitizer stopped it ($log)" >&2
    exit 1
fi
# The suite's header names the module it loaded; make sure it is ours.
if ! grep -q "$out/tarvik/safety/control\." "$log"; then
    echo "sanitize: the test session did not report the sanitized module" >&2
    exit 1
fi
echo "sanitize: clean run against $module"
