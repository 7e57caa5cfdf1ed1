#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it with its embedded defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" --target pagewright
mkdir -p "$BUILD/run"
cd "$BUILD/run" && exec ../app/pagewright "$@"
