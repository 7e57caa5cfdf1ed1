#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and UBSan, and runs them all; as
# root, runs the platform and app tests again with the monotonic clock just after boot and just
# before its 32-bit millisecond count wraps.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-test}
# The compiler cache takes paths relative to the clone's root, so a fresh clone reuses it.
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_SANITIZE=ON -DPW_BENCH=OFF -DPW_WERROR=ON
cmake --build "$BUILD"
# The README's plain build (no sanitizers) must build without a warning as well: the optimiser
# warns there about code it sees differently in the sanitizer build. Same cache, so a rerun is quick.
if [ $# -eq 0 ]; then
  PLAIN=${PLAIN_BUILD_DIR:-build-plain}
  cmake -S . -B "$PLAIN" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON
  cmake --build "$PLAIN"
fi
JOBS=$(nproc 2>/dev/null || echo 2)
cd "$BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" "$@"

# Time-namespace passes: the offset is added to the clock as it stands, so it is the wanted value
# minus the current one (whole seconds).
monotonic() { perl -MTime::HiRes=clock_gettime,CLOCK_MONOTONIC -e 'print clock_gettime(CLOCK_MONOTONIC)'; }
if [ "$(id -u)" -ne 0 ]; then
  echo "Not root: the passes with the clock just after boot and before the 32-bit ms wrap are skipped." >&2
  exit 0
fi
if ! unshare --time true 2>/dev/null; then
  echo "No time namespaces here: the passes with a moved monotonic clock are skipped." >&2
  exit 0
fi
for target in 30 4294965.296; do
  offset=$(perl -e 'printf "%.0f", $ARGV[0] - $ARGV[1]' "$target" "$(monotonic)")
  echo "Platform and app tests with the monotonic clock at ${target} s (offset ${offset} s):"
  QT_QPA_PLATFORM=offscreen unshare --time --monotonic="$offset" --boottime="$offset" \
    ctest --output-on-failure -j "$JOBS" -L '^(platform|app)$' "$@"
done
