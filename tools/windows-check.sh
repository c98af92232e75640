#!/usr/bin/env bash
# The Windows build: cross-builds ym2608-console.exe, ym2608-play.exe and
# ym2608-adpcm.exe with mingw-w64 into build-mingw (libsndfile and
# libsamplerate for Windows come from tools/windows-libs.sh, cached in
# build-mingw-deps; zlib from Debian's libz-mingw-w64-dev), checks that they
# need no DLLs but Windows' own, then runs under Wine, against programs built
# natively into build-wine: the console's end-to-end suite against the board
# emulator, the player against the Linux player, each into an emulator, and
# the encoder's command lines against the Linux encoder.
# The Wine prefix is made fresh on every run. Installs the cross-compiler and
# Wine (Debian packages) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash tools/install-deps.sh --windows

echo "== build-mingw (cross-build for Windows)"
cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DYM2608_TESTS=OFF >/dev/null
cmake --build build-mingw -j "$jobs" --target ym2608-console ym2608-play ym2608-adpcm
exe=$PWD/build-mingw/ym2608-console.exe
play_exe=$PWD/build-mingw/play/ym2608-play.exe
adpcm_exe=$PWD/build-mingw/adpcm/ym2608-adpcm.exe

# Linked statically: nothing to ship beside the programs, only DLLs that are
# part of Windows itself (not libstdc++'s, libgcc's, winpthreads', zlib's or libsndfile's).
system_dlls=(-e KERNEL32.dll -e msvcrt.dll -e ADVAPI32.dll -e USER32.dll -e WINMM.dll -e ntdll.dll)
for program in "$exe" "$play_exe" "$adpcm_exe"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
  extra=$(grep -v -i -x "${system_dlls[@]}" <<<"$dlls" || true)
  if [ -n "$extra" ]; then
    echo "windows-check: $(basename "$program") needs DLLs beyond Windows' own: $extra" >&2
    exit 1
  fi
  echo "$(basename "$program") imports only $(echo $dlls)"
done

echo "== build-wine (board emulator; end-to-end tests under Wine)"
cmake -S . -B build-wine -DYM2608_WINE_CONSOLE="$exe" -DYM2608_WINE_PLAY="$play_exe" \
  -DYM2608_WINE_ADPCM="$adpcm_exe" >/dev/null
cmake --build build-wine -j "$jobs" --target ym2608-board-emu ym2608-console ym2608-play ym2608-adpcm
# A fresh prefix each run: nothing carried over from an earlier Wine.
WINEPREFIX=$PWD/build-wine/wineprefix tools/wine-console.sh --stop
rm -rf build-wine/wineprefix build-wine/wineprefix.lock
ctest --test-dir build-wine --output-on-failure -j "$jobs" -R '^e2e\.wine\.'
