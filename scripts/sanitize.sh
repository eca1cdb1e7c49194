#!/usr/bin/env bash
# Build tarvik.safety.control with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan-VERSION/ (beside copies of the package's Python files) and run the
# whole pytest suite against that build.
#
# The interpreter itself is not instrumented: the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends the interpreter's own allocations
# through them too, so a use-after-free of a Python object is caught.
# Extra arguments go to pytest, e.g. scripts/sanitize.sh -k compute
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
CXX=${CXX:-g++}
out=$root/build/asan-$version

export TARVIK_SANITIZE=1  # read by setup.py; the suite skips pip-install tests
build_into "$out" "$out-temp"

runtimes=""
for lib in libasan.so libubsan.so; do
    path=$("$CXX" -print-file-name="$lib")
    if [ ! -e "$path" ] || [ "${path#/}" = "$path" ]; then
        echo "sanitize: $CXX has no $lib (install g++ with its sanitizer runtimes)" >&2
        exit 1
    fi
    runtimes="$runtimes $path"
done

run_env=(
    LD_PRELOAD="${runtimes# }"
    PYTHONMALLOC=malloc
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
)
# --capture=sys: a sanitizer report is written to file descriptor 2 as the
# process dies; pytest's default fd capture would swallow it.
test_build sanitize "$out" --capture=sys "$@"
echo "sanitize: clean run against $out"
