#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and UBSan, and runs them all;
# builds the plain configuration too and runs each benchmark once briefly; as root, runs the
# platform and app tests again with the monotonic clock just after boot and just before its
# 32-bit millisecond count wraps. Arguments go to ctest (e.g. -L tcpport): then only those tests
# run, and the clock passes only over the platform and app tests among them.
#
# How it builds: with -Werror; through ccache (which install-deps.sh installs) with paths taken
# relative to the clone's root (CCACHE_BASEDIR, and the launcher in CMakeLists.txt), so a fresh
# clone reuses what an earlier one compiled. In the sanitizer build the tests' own code is compiled
# unoptimised and everything with line tables only (-g1: a report still names function, file and
# line); the code under test keeps -O2. Links use lld when it is installed. Without arguments the
# plain configuration follows in build-plain: no sanitizers, no debug information, the program,
# its tools and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${BUILD_DIR:-build-test}
# The compiler cache takes paths relative to the clone's root, so a fresh clone reuses it.
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_SANITIZE=ON -DPW_BENCH=OFF -DPW_WERROR=ON
cmake --build "$BUILD"
JOBS=$(nproc 2>/dev/null || echo 2)
(cd "$BUILD" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" "$@")

# Full runs only: the README's plain build (no sanitizers, benchmarks included) must build without
# a warning as well, since the optimiser warns there about code it sees differently in the
# sanitizer build; and each benchmark runs once from it in quick mode (brief runs on small data, a
# few seconds in all), so that a benchmark that aborts or misses a figure fails here. Its figures
# mean nothing in this mode. Same compiler cache, so a rerun is quick. The tests were built and run
# above, with -Werror, NDEBUG and this front end: unoptimised there, they would show no other
# warning here, so they are not compiled again. Nothing here is debugged, so no debug information
# (it changes no warning and took a third of the time).
if [ $# -eq 0 ]; then
  PLAIN=${PLAIN_BUILD_DIR:-build-plain}
  cmake -S . -B "$PLAIN" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DPW_WERROR=ON -DPW_TEST_BINARIES=OFF
  cmake --build "$PLAIN" --target pagewright mkcontacts pwdbserver qbverify benchmarks
  for bench in "$PLAIN"/bench/bench_*; do
    [ -f "$bench" ] && [ -x "$bench" ] || continue
    if ! PW_BENCH_QUICK=1 QT_QPA_PLATFORM=offscreen "$bench" --benchmark_min_time=0.001 >"$bench.log" 2>&1; then
      cat "$bench.log" >&2
      echo "Benchmark $(basename "$bench") failed (quick mode)." >&2
      exit 1
    fi
    echo "Benchmark $(basename "$bench") runs (quick mode)."
  done
fi
cd "$BUILD"

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
# Only over what was asked: with other labels or names only, there is nothing to run again.
listed=$(ctest -N -L '^(platform|app)$' "$@")
if ! grep -q '^Total Tests: [1-9]' <<<"$listed"; then
  echo "No platform or app tests among those asked: no passes with a moved monotonic clock." >&2
  exit 0
fi
for target in 30 4294965.296; do
  offset=$(perl -e 'printf "%.0f", $ARGV[0] - $ARGV[1]' "$target" "$(monotonic)")
  echo "Platform and app tests with the monotonic clock at ${target} s (offset ${offset} s):"
  QT_QPA_PLATFORM=offscreen unshare --time --monotonic="$offset" --boottime="$offset" \
    ctest --output-on-failure -j "$JOBS" -L '^(platform|app)$' "$@"
done
