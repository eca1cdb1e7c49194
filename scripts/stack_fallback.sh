#!/usr/bin/env bash
# Build tarvik.safety.control with the portable stack bound of compat.hpp
# (TARVIK_STACK_FALLBACK=1: a budget below the frame that first asks,
# which platforms without an interface of their own get) into
# build/stack-fallback-VERSION/, and run the re-entry tests against it: in
# the main thread and in a thread with a small stack, deep re-entry must
# end in RecursionError, not a crash. Before 3.14 only: from then on the
# interpreter bounds the stack itself and the bound is compiled out.
# Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
out=$root/build/stack-fallback-$version

export TARVIK_STACK_FALLBACK=1  # read by setup.py
build_into "$out" "$out-temp"
module=$(ls "$out"/tarvik/safety/control.*.so)
# The platform's interface left out shows that the switch took.
if nm -D --undefined-only "$module" | grep -q pthread_getattr_np; then
    echo "stack-fallback: $module still asks pthread_getattr_np" >&2
    exit 1
fi
test_build stack-fallback "$out" tests/test_hostile.py -k reentry "$@"
echo "stack-fallback: clean run against $out"
