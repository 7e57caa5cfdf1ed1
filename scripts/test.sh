#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and UBSan, and runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-test}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_SANITIZE=ON -DPW_BENCH=OFF
cmake --build "$BUILD"
JOBS=$(nproc 2>/dev/null || echo 2)
cd "$BUILD" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" "$@"
