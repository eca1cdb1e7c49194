#!/usr/bin/env bash
# Line and branch coverage of the C++ sources by the whole pytest suite.
#
# Builds tarvik.safety.control with --coverage -O0 into build/coverage-VERSION/
# (beside copies of the package's Python files; the in-place build is left
# alone), runs the suite against that build, and prints gcovr's line and
# branch figures per source file. Extra arguments go to pytest, e.g.
# scripts/coverage.sh -k compute
set -euo pipefail
source "$(dirname "$0")/build_copy.sh"
# The coverage of the normal build, fast reader included, with no test
# skipped for want of it.
unset TARVIK_GENERAL_READER
out=$root/build/coverage-$version
objects=$out-temp

rm -rf "$out" "$objects"
mkdir -p "$out"
# At -O0 the compiler keeps out-of-line copies of library templates, which
# would be exported beside the init function; export that one alone.
printf '{ global: PyInit_control; local: *; };\n' > "$out/exports.map"
# setup.py puts its own flags after these; -O0 comes after the
# interpreter's -O2, so it wins.
CFLAGS="--coverage -O0" CXXFLAGS="--coverage -O0" \
    LDFLAGS="--coverage -Wl,--version-script=$out/exports.map" \
    "$PYTHON" setup.py build_ext --force --build-lib "$out" \
    --build-temp "$objects"

copy_package "$out"

# cwd build/coverage puts the instrumented package first on sys.path.
log=$out-pytest.log
report=$out-module.txt
status=0
(cd "$out" && PYTHONPATH="$out" TARVIK_MODULE_REPORT="$report" "$PYTHON" \
    -m pytest -p no:cacheprovider "$root/tests" "$@") 2>&1 | tee "$log" ||
    status=$?
if ! grep -q "^$out/tarvik/safety/control\." "$report" 2>/dev/null; then
    echo "coverage: the test session did not report the instrumented module" >&2
    exit 1
fi

filter='tarvik/safety/control/'
echo
echo "Lines of the C++ sources run by the suite:"
"$PYTHON" -m gcovr --root "$root" --filter "$filter" "$objects"
echo "Branches of the C++ sources taken by the suite:"
"$PYTHON" -m gcovr --root "$root" --filter "$filter" --txt-metric branch "$objects"
if [ "$status" -ne 0 ]; then
    echo "coverage: the suite failed (figures above all the same)" >&2
fi
exit "$status"
