#!/usr/bin/env bash
# Sanitizer run: build the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, then run the whole test suite (the fuzz tests
# included) with the sanitizer runtimes preloaded into the uninstrumented
# interpreter.  Fails on any sanitizer report, in the test process or in any
# interpreter it starts, as well as on any failing test.
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# Environment: PYTHON, VENV as for scripts/test.sh; SANITIZE_BUILD, the build
# directory (default build/sanitize); CXX, the compiler (default c++), whose
# own sanitizer runtimes are preloaded.
#
# Python objects are allocated with malloc (PYTHONMALLOC=malloc) so that a
# use after free of a Python object is caught too.  Leak detection is off:
# at interpreter exit the process still holds what CPython, NumPy and torch
# keep for its lifetime (and the extension's own process-lifetime objects),
# which LeakSanitizer cannot tell from a leak; the extension's leaks are
# measured as reference-count drift and resident-memory growth by
# tools/leakcheck.py, whose short form runs in this suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

BUILD=${SANITIZE_BUILD:-build/sanitize}
CXX=${CXX:-c++}

bash scripts/setup.sh --tests cmake ninja
venv=$(cd "$VENV" && pwd)
"$venv/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_CXX_COMPILER="$CXX" -DPython_EXECUTABLE="$venv/bin/python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRACKSCOPE_SANITIZE=ON >/dev/null
"$venv/bin/cmake" --build "$BUILD"

asan=$("$CXX" -print-file-name=libasan.so)
ubsan=$("$CXX" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "sanitize: $CXX has no $(basename "$lib")" >&2; exit 1; }
done

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run() {
    env LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$BUILD" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$logs/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
        "$venv/bin/python" "$@"
}

# The suite must exercise the instrumented build, not an installed one.
loaded=$(run -c "import trackscope; print(trackscope.__file__)")
case "$loaded" in
    "$PWD/$BUILD"/*) ;;
    *) echo "sanitize: tests would load $loaded, not the sanitizer build" >&2; exit 1 ;;
esac

status=0
run -m pytest -q -p no:cacheprovider "$@" || status=$?

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
    for report in "${reports[@]}"; do
        echo "==== $(basename "$report")" >&2
        cat "$report" >&2
    done
    echo "sanitize: ${#reports[@]} sanitizer report(s)" >&2
    exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
echo "sanitize: no sanitizer reports"
