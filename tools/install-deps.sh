#!/usr/bin/env bash
# Installs the Debian packages the project needs (as root, or through sudo).
# Packages already present are left alone.
#   tools/install-deps.sh            build, tests, sanitizers, fuzzing, valgrind
#   tools/install-deps.sh --try      only what building the tool, the emulator and the encoder needs
#   tools/install-deps.sh --windows  the mingw-w64 cross-compiler, zlib for it and Wine as
#                                    well, and libsndfile and libsamplerate cross-built for
#                                    Windows (tools/windows-libs.sh, cached in build-mingw-deps)
set -euo pipefail

build=(cmake make g++ pkg-config python3 libgtest-dev libgmock-dev libsndfile1-dev libsamplerate0-dev
       libedit-dev libbsd-dev zlib1g-dev scdoc)
checks=(clang-14 libfuzzer-14-dev libclang-rt-14-dev xxd valgrind time strace
        python3-numpy python3-soundfile python3-matplotlib
        dpkg-dev file lintian man-db groff-base bash-completion)
windows=(g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64)

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
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = --windows ]; then
  bash "$(dirname "$0")/windows-libs.sh"
fi
