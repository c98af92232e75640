#!/usr/bin/env bash
# The Windows build: cross-builds ym2608-console.exe with mingw-w64 into
# build-mingw, then runs the end-to-end suite with the .exe under Wine against
# the board emulator, built natively into build-wine. The Wine prefix is made
# fresh on every run. Installs the cross-compiler and Wine (Debian packages)
# when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash tools/install-deps.sh --windows

echo "== build-mingw (cross-build for Windows)"
cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DYM2608_TESTS=OFF >/dev/null
cmake --build build-mingw -j "$jobs" --target ym2608-console
exe=$PWD/build-mingw/ym2608-console.exe

echo "== build-wine (board emulator; end-to-end tests under Wine)"
cmake -S . -B build-wine -DYM2608_WINE_CONSOLE="$exe" >/dev/null
cmake --build build-wine -j "$jobs" --target ym2608-board-emu ym2608-console
# A fresh prefix each run: nothing carried over from an earlier Wine.
WINEPREFIX=$PWD/build-wine/wineprefix tools/wine-console.sh --stop
rm -rf build-wine/wineprefix build-wine/wineprefix.lock
ctest --test-dir build-wine --output-on-failure -j "$jobs" -R '^e2e\.wine\.'
