#!/bin/sh
# Installs what the project needs, builds the release programs and runs the console's main job
# on its embedded default.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF
cmake --build build/release -j "$(nproc)"
./scripts/run-default.sh build/release
