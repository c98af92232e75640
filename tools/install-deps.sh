#!/usr/bin/env bash
# Installs the Debian packages the project needs (as root, or through sudo).
# Packages already present are left alone.
#   tools/install-deps.sh            build, tests, sanitizers, fuzzing, valgrind
#   tools/install-deps.sh --try      only what building the tool, the emulator and the encoder needs
#   tools/install-deps.sh --windows  the mingw-w64 cross-compiler and Wine as well
set -euo pipefail

build=(cmake make g++ pkg-config python3 libgtest-dev libgmock-dev libsndfile1-dev libsamplerate0-dev
       libedit-dev libbsd-dev zlib1g-dev scdoc)
checks=(clang-14 libfuzzer-14-dev libclang-rt-14-dev xxd valgrind time strace
        dpkg-dev file lintian man-db groff-base bash-completion)
windows=(g++-mingw-w64-x86-64 wine64)

case "${1:-}" in
  --try) packages=("${build[@]}") ;;
  --windows) packages=("${build[@]}" "${checks[@]}" "${windows[@]}") ;;
  "") packages=("${build[@]}" "${checks[@]}") ;;
  *) echo "usage: $0 [--try|--windows]" >&2; exit 2 ;;
esac

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
