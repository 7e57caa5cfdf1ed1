#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need; only what is missing.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config git ccache lld
      qt6-base-dev libgl-dev libxkbcommon-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      libjpeg-dev libsqlite3-dev
      libnet-snpp-perl perl)
# The README's fuzz build takes clang and its sanitizer runtimes: only when asked (--fuzz).
if [ "${1:-}" = "--fuzz" ]; then PKGS+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
