#!/usr/bin/env bash
# Build tarvik.safety.control with its path counters (counts.hpp) into
# build/counting-VERSION/ (beside copies of the package's Python files) and
# run tests/test_counting.py against that build: the calls the fast reader
# is meant to decide must be decided by it, with no deferral to the general
# reader and no listing of keys, which the outcomes alone do not show.
# Extra arguments go to pytest, e.g. scripts/counting.sh -x
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
out=$root/build/counting-$version

# Read by setup.py, and by the suite.
export TARVIK_COUNT_PATHS=1
unset TARVIK_GENERAL_READER
build_into "$out" "$out-temp"
test_build counting "$out" tests/test_counting.py "$@"
echo "counting: clean run against $out"
