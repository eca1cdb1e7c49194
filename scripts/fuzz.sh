#!/usr/bin/env bash
# Build tarvik.safety.control for the fuzzer into build/fuzz-VERSION/ (clang with
# libFuzzer's coverage, AddressSanitizer and UndefinedBehaviorSanitizer:
# TARVIK_FUZZ of setup.py), beside copies of the package's Python files, and
# run the differential fuzz target fuzz/harness.py against it under atheris.
#
# Usage: scripts/fuzz.sh [ARGS...]
#   Without ARGS: fuzz for FUZZ_SECONDS (default 600) with libFuzzer's seed
#   FUZZ_SEED (default 0: a new one each run), starting from the committed
#   seeds (fuzz/seeds/) and the corpus of earlier runs (build/fuzz-corpus/,
#   where new inputs go); a finding is written to build/fuzz-findings/ and
#   fails the run.
#   With ARGS: libFuzzer's own arguments, as they are, e.g. a crash file to
#   run it alone, or -minimize_crash=1 -runs=10000 FILE to minimise it
#   (docs/maintaining.md).
#   With TARVIK_GENERAL_READER=1, the module built without its fast reader
#   is fuzzed: the general reader then meets the plain inputs too.
#
# The runtimes of libFuzzer and the sanitizers come from atheris
# (asan_with_fuzzer.so, preloaded); PYTHONMALLOC=malloc sends the
# interpreter's allocations through AddressSanitizer too. Leak detection is
# off: the interpreter keeps much of what it allocates until it exits, and
# the harness counts the references of the input's objects instead.
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
# TARVIK_GENERAL_READER=1: a build whose general reader decides every call
# (as setup.py reads it), in a folder of its own.
out=$root/build/fuzz${TARVIK_GENERAL_READER:+-general}-$version
corpus=$root/build/fuzz-corpus
findings=$root/build/fuzz-findings

export CC=${CC:-clang} CXX=${CXX:-clang++}
export TARVIK_FUZZ=1  # read by setup.py; needs clang
build_into "$out" "$out-temp"

runtime=$("$PYTHON" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so
if [ ! -e "$runtime" ]; then
    echo "fuzz: atheris has no $runtime (make fuzz installs it: the fuzz group)" >&2
    exit 1
fi
run_env=(
    # libFuzzer runs fuzz/harness.py again by itself to minimise a crash:
    # its "#!/usr/bin/env python3" is to find this interpreter.
    PATH="$(dirname "$PYTHON"):$PATH"
    LD_PRELOAD="$runtime"
    PYTHONMALLOC=malloc
    PYTHONHASHSEED=0  # the same set orders each run, so that a finding reproduces
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
)

module=$(in_build "$out" "$PYTHON" -c 'import tarvik.safety.control as m; print(m.__file__)')
case "$module" in
    "$out"/tarvik/safety/control.*.so) ;;
    *) echo "fuzz: expected the module from $out, got: $module" >&2
       exit 1 ;;
esac
echo "fuzz: fuzzing $module"

# From the clone's root, so that paths in ARGS are read from there; the
# build comes first on the module path all the same.
harness=(env PYTHONPATH="$out" "${run_env[@]}" "$PYTHON" fuzz/harness.py)
if [ $# -gt 0 ]; then
    exec "${harness[@]}" "$@"
fi
mkdir -p "$corpus" "$findings"
"${harness[@]}" \
    -max_total_time="${FUZZ_SECONDS:-600}" -seed="${FUZZ_SEED:-0}" \
    -timeout=60 -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$root/fuzz/seeds"
echo "fuzz: no finding in ${FUZZ_SECONDS:-600} s"
