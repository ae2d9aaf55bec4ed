#!/bin/sh
# Fails when any C++ source differs from its clang-format form, or any CMake file from its
# cmake-format form (.cmake-format.yaml).
set -e
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c' | xargs -r clang-format --dry-run -Werror
git ls-files -co --exclude-standard 'CMakeLists.txt' '*/CMakeLists.txt' '*.cmake' |
    xargs -r cmake-format --check
