#!/usr/bin/env bash
# Build tarvik.safety.control for a debug CPython (Py_DEBUG, with its assertions) into build/debug-VERSION/ and run the suite against it.
#
# PYTHON is the interpreter of a venv of the debug interpreter
# (.venv/VERSION-dbg/, which make test-debug makes). The interpreter checks
# reference counts, its own invariants and the module's calls into it as it
# goes; the module is built with that interpreter's own flags (-Og and the
# like), so its export list is tested unoptimised too. The packaging tests
# are left out: they build with release interpreters.
# Extra arguments go to pytest, e.g. scripts/debug.sh -k compute
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
if [ "$("$PYTHON" -c 'import sys; print(hasattr(sys, "gettotalrefcount"))')" != True ]; then
    echo "debug: $PYTHON is not a debug interpreter (Py_DEBUG)" >&2
    exit 1
fi
out=$root/build/debug-$version

build_into "$out" "$out-temp"
test_build debug "$out" -m "not packaging" "$@"
echo "debug: clean run against $out"
