#!/usr/bin/env bash
# Cross-builds libsndfile and libsamplerate for 64-bit Windows from Debian's
# own source packages, as static libraries, into a prefix where the mingw
# build of ym2608-adpcm finds them (through pkg-config: PREFIX/lib/pkgconfig):
#   tools/windows-libs.sh [PREFIX]     default PREFIX: build-mingw-deps in the project
#
# Debian has these libraries for Linux only. The versions built are the
# source versions of the installed Linux development packages
# (libsndfile1-dev, libsamplerate0-dev), so that the Linux and the Windows
# encoder use the same library code. Both are built with the project's mingw
# toolchain file, without external codecs (no FLAC, Ogg, Vorbis, Opus or
# MPEG: WAV, AIFF, AU, CAF and the other formats that need no other library)
# and without their programs, tests and examples.
#
# PREFIX/stamp names the source versions, the compiler and a checksum of this
# script and of the toolchain file; a run whose stamp matches does nothing
# and needs neither root nor the network. Otherwise the run needs root (or
# sudo): when apt has no source entries it adds deb-src entries mirroring its
# deb entries (same archives, same suites), in
# /etc/apt/sources.list.d/ym2608-deb-src.sources (or .list for one-line
# sources), and installs dpkg-dev, CMake and the cross-compiler when missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/build-mingw-deps}
case $prefix in
  /*) ;;
  *) prefix=$PWD/$prefix ;;
esac
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc 2>/dev/null || echo 2)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
say() { echo "windows-libs: $*"; }

# The source version behind an installed package, or nothing.
source_version() {
  dpkg-query -W -f='${db:Status-Status} ${source:Version}' "$1" 2>/dev/null | sed -n 's/^installed //p'
}
sndfile_version=$(source_version libsndfile1-dev)
samplerate_version=$(source_version libsamplerate0-dev)
if [ -z "$sndfile_version" ] || [ -z "$samplerate_version" ]; then
  echo "windows-libs: libsndfile1-dev and libsamplerate0-dev are needed first (tools/install-deps.sh)" >&2
  exit 1
fi

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9

compiler=$(x86_64-w64-mingw32-gcc --version 2>/dev/null | head -n 1 || true)
stamp="libsndfile $sndfile_version
libsamplerate $samplerate_version
compiler ${compiler:-none}
build $(cat "$0" "$toolchain" | sha256sum | cut -d' ' -f1)"
if [ -n "$compiler" ] && [ -f "$prefix/stamp" ] && [ "$(cat "$prefix/stamp")" = "$stamp" ]; then
  say "up to date in $prefix (libsndfile $sndfile_version, libsamplerate $samplerate_version)"
  exit 0
fi

# deb-src entries beside apt's own deb entries, when it has no source entries.
add_deb_src() {
  if apt-get indextargets --format '$(CREATED_BY)' | grep -qx Sources; then
    return 0
  fi
  local list stanzas="" lines=""
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    case $list in */ym2608-deb-src.sources) continue ;; esac
    # Each enabled stanza of binary packages again, for their sources.
    stanzas+=$(awk 'BEGIN { RS = "" }
      {
        n = split($0, lines, "\n"); types = ""; out = ""; enabled = 1
        for (i = 1; i <= n; i++) {
          line = lines[i]
          if (line ~ /^#/) continue
          if (line ~ /^Types:/) { types = line; line = "Types: deb-src" }
          if (line ~ /^Enabled:[ \t]*[Nn][Oo]/) enabled = 0
          out = out line "\n"
        }
        if (enabled && types ~ /[ \t]deb([ \t]|$)/ && types !~ /deb-src/) printf "%s\n", out
      }' "$list")$'\n\n'
  done
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    case $list in */ym2608-deb-src.list) continue ;; esac
    lines+=$(sed -n 's/^[ \t]*deb[ \t]/deb-src /p' "$list")$'\n'
  done
  if [ -n "${stanzas//[[:space:]]/}" ]; then
    printf '%s' "$stanzas" | $sudo tee /etc/apt/sources.list.d/ym2608-deb-src.sources >/dev/null
  fi
  if [ -n "${lines//[[:space:]]/}" ]; then
    printf '%s' "$lines" | $sudo tee /etc/apt/sources.list.d/ym2608-deb-src.list >/dev/null
  fi
  say "added deb-src entries for apt's own archives and suites"
}

# Whether apt's source indices offer VERSION of the source package NAME.
offered() {
  apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2"
}

export DEBIAN_FRONTEND=noninteractive
missing=()
for p in dpkg-dev cmake make g++-mingw-w64-x86-64; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
add_deb_src
if [ ${#missing[@]} -gt 0 ] || ! offered libsndfile "$sndfile_version" ||
  ! offered libsamplerate "$samplerate_version"; then
  $sudo apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  compiler=$(x86_64-w64-mingw32-gcc --version | head -n 1)
  stamp=$(printf '%s\n' "$stamp" | sed "s/^compiler .*/compiler $compiler/")
fi

say "building libsndfile $sndfile_version and libsamplerate $samplerate_version into $prefix"
rm -rf "$prefix"
work=$prefix/work
mkdir -p "$work"
# apt-get source fetches the .dsc and its tarballs and unpacks them with
# Debian's patches applied, into a folder named after the upstream version.
# As root it downloads as root: apt's download user cannot write here.
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
(cd "$work" && apt-get source -q "${sandbox[@]}" "libsndfile=$sndfile_version" \
  "libsamplerate=$samplerate_version" >/dev/null)

# Configures, builds and installs one unpacked source tree: build NAME OPTION...
build() {
  local name=$1 tree
  shift
  tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -n 1)
  [ -n "$tree" ] || { echo "windows-libs: apt-get source gave no $name-* folder" >&2; exit 1; }
  cmake -S "$tree" -B "$work/build-$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_TESTING=OFF "$@" >"$work/$name-configure.log" 2>&1 ||
    { cat "$work/$name-configure.log" >&2; exit 1; }
  cmake --build "$work/build-$name" -j "$jobs" >"$work/$name-build.log" 2>&1 ||
    { tail -n 40 "$work/$name-build.log" >&2; exit 1; }
  cmake --install "$work/build-$name" >/dev/null
}

build libsndfile -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DBUILD_PROGRAMS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_REGTEST=OFF -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF \
  -DENABLE_PACKAGE_CONFIG=ON -DINSTALL_PKGCONFIG_MODULE=ON
build libsamplerate -DLIBSAMPLERATE_EXAMPLES=OFF -DLIBSAMPLERATE_INSTALL=ON

rm -rf "$work" "$prefix/share/doc"
printf '%s\n' "$stamp" >"$prefix/stamp"
say "done: $prefix"
