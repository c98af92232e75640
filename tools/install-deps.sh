#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine (as root,
# or through sudo). Packages already present are left alone.
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  libgtest-dev libgmock-dev
  libsndfile1-dev libsamplerate0-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev xxd
  valgrind time strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
