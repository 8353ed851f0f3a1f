#!/usr/bin/env bash
# Sets the machine up (scripts/setup.sh), then runs the whole test suite: the C++ unit tests
# through CTest and the Python tests through pytest. Exits non-zero if anything fails.
#
#   QUORVELIN_SANITIZE_TESTS=1  also build and run the C++ tests under AddressSanitizer and
#                               UndefinedBehaviorSanitizer (separate build directory).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-python3}"
JOBS="${QUORVELIN_JOBS:-2}"
say() { printf '[test] %s\n' "$*"; }

"$ROOT/scripts/setup.sh"

failed=()

# Configures, builds and runs the C++ tests in one build directory. Extra arguments go to cmake.
run_cpp_tests() {
    local dir="$1"
    shift
    local start=$SECONDS
    say "C++ tests: configure and build in $dir"
    cmake -S . -B "$dir" -G Ninja -DQUORVELIN_TESTS=ON "$@" >/dev/null || return 1
    ninja -C "$dir" -j "$JOBS" || return 1
    say "C++ tests: run"
    ctest --test-dir "$dir" --output-on-failure --timeout 900 -j "$JOBS" || return 1
    say "C++ tests in $dir passed ($((SECONDS - start)) s)"
}

if ! run_cpp_tests build/tests; then
    failed+=("C++ tests")
fi

if [[ "${QUORVELIN_SANITIZE_TESTS:-0}" == 1 ]]; then
    # Any finding must fail the run: halt on the first UB report and on leaks at exit.
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    if ! run_cpp_tests build/tests-sanitize -DQUORVELIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
        failed+=("C++ tests under sanitizers")
    fi
fi

# The pure-Python companion package lives in python/ and is used straight from the checkout.
export PYTHONPATH="$ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
say "Python tests: pytest"
start=$SECONDS
if "$PYTHON" -m pytest -q tests/python; then
    say "Python tests passed ($((SECONDS - start)) s)"
else
    failed+=("Python tests")
fi

if ((${#failed[@]})); then
    say "FAILED: ${failed[*]}"
    exit 1
fi
say "all tests passed"
