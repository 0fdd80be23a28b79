#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and
# packaging need, skipping what is already there. Needs root to install.
# This is the one list: .ci/run, the demo, the test script and the benchmark
# all call it. apt's package lists are refreshed before anything is
# installed.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libcurl4-openssl-dev libssl-dev libgtest-dev
  python3 openssl curl wget iproute2 time valgrind nginx-light nftables
  dpkg-dev lintian file e2fsprogs mount strace
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
