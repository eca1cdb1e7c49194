#!/usr/bin/env bash
# Build tarvik.safety.control without its fast reader into
# build/general-VERSION/ (beside copies of the package's Python files) and
# run the whole pytest suite against that build. Every call is then decided by the general reader
# alone, which otherwise sees only the calls the fast reader leaves
# undecided; a test that fails here and passes against the normal build
# shows a difference between the two readers. The tests of what only the
# fast reader promises skip themselves.
# Extra arguments go to pytest, e.g. scripts/general.sh -k compute
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
out=$root/build/general-$version

# Read by setup.py, and by the suite, whose install tests skip too.
export TARVIK_GENERAL_READER=1
build_into "$out" "$out-temp"
test_build general "$out" "$@"
echo "general: clean run against $out"
