#!/usr/bin/env bash
# Installs what is missing, builds the program and its tools (mkcontacts, pwdbserver, qbverify) and
# starts the program with its embedded defaults in build/run/.
# Arguments of the form -DNAME=VALUE are CMake options of the build (the paging service's hosts,
# PW_SERVICE1_HOST and PW_SERVICE1_BACKUP_HOST); they stay in the build folder for later runs. The
# other arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake_args=()
program_args=()
for a in "$@"; do
  case $a in
    -D*) cmake_args+=("$a") ;;
    *) program_args+=("$a") ;;
  esac
done
# A build folder the user configured by hand keeps the generator it was made with: naming Ninja
# again would stop CMake on a folder made for Makefiles.
generator=(-G Ninja)
[ -f "$BUILD/CMakeCache.txt" ] && generator=()
cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)" --target pagewright mkcontacts pwdbserver qbverify
mkdir -p "$BUILD/run"
# The demo contacts go into a new run folder only: a contacts table already there is the user's.
if [ -z "$(find "$BUILD/run" -maxdepth 1 -iname contacts.qb2 -print -quit)" ]; then
  "$BUILD/tools/mkcontacts" "$BUILD/run"
fi
# With no display to open a window on, Qt would stop at once: run without one instead. Ctrl+C (or
# SIGTERM) ends the program then.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the program runs without a window (QT_QPA_PLATFORM=offscreen); Ctrl+C ends it." >&2
  export QT_QPA_PLATFORM=offscreen
fi
cd "$BUILD/run" && exec ../app/pagewright "${program_args[@]}"
