#!/bin/sh
# Fails when any C++ source differs from its clang-format form.
set -e
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c' | xargs -r clang-format --dry-run -Werror
