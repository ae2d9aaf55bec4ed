#!/bin/sh
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite (unit and black-box tests).
set -e
cd "$(dirname "$0")/.."
BUILD=${QZ_TEST_BUILD:-build/asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE="address;undefined"
cmake --build "$BUILD" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)"
