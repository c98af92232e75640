#!/usr/bin/env bash
# Checks the packages as a user gets them:
#   1. the .deb, made by cpack from the plain build (`build`, stripped), passes
#      lintian with no error; installed with apt-get, its programs report the
#      version, man finds the console's page, and one console session against
#      the installed emulator loads an installed example; then it is removed;
#   2. a Windows cross build configures with the toolchain file alone (tests
#      off), and the zip made from `build-mingw` holds the console's, the
#      player's and the encoder's .exe, their man pages as text, README.md,
#      LICENSE and the Windows note, and nothing else.
# The builds are the ones tools/test.sh and tools/windows-check.sh make, so
# after them nothing is compiled again. Installing needs root (or sudo).
#   tools/package-check.sh            both
#   tools/package-check.sh --deb      only the .deb
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

fail() {
  echo "package-check: $*" >&2
  exit 1
}

echo "== package: .deb"
cmake -S . -B build >/dev/null
cmake --build build -j "$jobs" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/CMakeCache.txt"
rm -rf build/package
(cd build && cpack -G DEB -B "$root/build/package" >/dev/null)
deb=build/package/ym2608-console_${version}_amd64.deb
[ -f "$deb" ] || fail "cpack made no $deb"
# Read whole first: grep -q stopping early would break dpkg-deb's pipe.
depends=$(dpkg-deb --field "$deb" Depends)
contents=$(dpkg-deb --contents "$deb")
grep -q libsndfile1 <<<"$depends" || fail "shlibdeps found no library dependencies: '$depends'"
grep -q ' ./usr/share/man/man1/ym2608-console\.1\.gz$' <<<"$contents" ||
  fail "the console's man page is not in the package, gzipped"

# Errors fail; the warnings left are listed in the README.
lintian --fail-on error "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
  fail "lintian reports errors"

scratch=$(mktemp -d)
emu_pid=""
cleanup() {
  [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -q --no-install-recommends "./$deb" >"$scratch/apt.log" 2>&1 ||
  fail "apt-get install ./$deb failed: $(cat "$scratch/apt.log")"
trap '$sudo apt-get remove -y -q ym2608-console >/dev/null; cleanup' EXIT

programs=$(dpkg -L ym2608-console | sed -n 's|^/usr/bin/||p')
for program in $programs; do
  got=$("/usr/bin/$program" --version </dev/null)
  [ "$got" = "$program $version" ] || fail "installed $program --version printed '$got'"
done
# bash-completion finds the script by the program's name, for every program.
for program in $programs; do
  bash -c 'source /usr/share/bash-completion/bash_completion; _completion_loader "$1"; complete -p "$1"' \
    check "$program" 2>/dev/null | grep -q -- '-F _ym2608 ' || fail "bash-completion does not find $program's completion"
done
page=$(man -w ym2608-console)
[ "$page" = /usr/share/man/man1/ym2608-console.1.gz ] || fail "man -w ym2608-console found '$page'"

# One session: the installed console against the installed emulator, loading
# the installed example; the emulator's memory dump must hold it.
example=/usr/share/doc/ym2608-console/examples/kick.bin
cd "$scratch"
mkfifo emu.out
/usr/bin/ym2608-board-emu --link "$scratch/board" --dump-memory memory.bin >emu.out 2>emu.err &
emu_pid=$!
# The FIFO stays open for reading while the emulator runs, so that it can
# never write to a pipe without a reader.
exec 3<emu.out
read -r pty <&3 || fail "the installed emulator printed no terminal: $(cat emu.err)"
printf 'c\nl %s\nq\n' "$example" |
  YM2608_COM3=$scratch/board YM2608_REPLY_TIMEOUT_MS=10000 timeout 60 /usr/bin/ym2608-console \
    >console.out 2>console.err || fail "the installed console failed: $(cat console.err)"
kill -TERM "$emu_pid"
wait "$emu_pid" || fail "the installed emulator exited $?: $(cat emu.err)"
emu_pid=""
exec 3<&-
grep -q '^>connect\.\.ok$' console.out || fail "no connection: $(cat console.out)"
grep -q "^>\[$example\] -> \[0,1000\]$" console.out || fail "the load did not start: $(cat console.out)"
grep -q '^idx:1:\[0,32\]$' console.out || fail "the load did not end in slot 1: $(cat console.out)"
[ "$(tail -c 7 console.out)" = ">exit!" ] || fail "the session did not end with exit!"
[ ! -s console.err ] || fail "the console wrote to standard error: $(cat console.err)"
cmp -s -n 1000 memory.bin "$example" || fail "the board's memory does not hold $example"
echo "installed session on $pty: ok"
cd "$root"

$sudo apt-get remove -y -q ym2608-console >/dev/null
trap cleanup EXIT
[ ! -e /usr/bin/ym2608-console ] || fail "/usr/bin/ym2608-console is still there after removal"
echo "$deb: lintian clean of errors, installed, used, removed"

[ "${1:-}" = --deb ] && exit 0

echo "== package: Windows zip"
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "no mingw-w64 cross-compiler (tools/install-deps.sh --windows): Windows zip not checked"
  exit 0
fi
toolchain=cmake/mingw-w64-x86_64.cmake
# With the toolchain file alone, a fresh configure must succeed with tests off.
cmake -S . -B "$scratch/mingw-configure" -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null ||
  fail "the cross build does not configure with the toolchain file alone"
grep -q '^YM2608_TESTS:BOOL=OFF$' "$scratch/mingw-configure/CMakeCache.txt" ||
  fail "tests are not off by default in a cross build"
[ -f build-mingw/CMakeCache.txt ] || cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build build-mingw -j "$jobs" >/dev/null
rm -rf build-mingw/package
(cd build-mingw && cpack -G ZIP -B "$root/build-mingw/package" >/dev/null)
zip=build-mingw/package/ym2608-console-${version}-win64.zip
[ -f "$zip" ] || fail "cpack made no $zip"
python3 - "$zip" "ym2608-console-${version}-win64" <<'EOF'
import sys, zipfile
path, top = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(path) as z:
    names = sorted(n for n in z.namelist() if not n.endswith("/"))
    programs = ("ym2608-console", "ym2608-play", "ym2608-adpcm")
    want = sorted([f"{top}/{n}" for n in ("LICENSE", "README-Windows.txt", "README.md")] +
                  [f"{top}/{p}{suffix}" for p in programs for suffix in (".exe", ".txt")])
    if names != want:
        sys.exit(f"package-check: {path} holds {names}, want {want}")
    for program in programs:
        exe = z.read(f"{top}/{program}.exe")
        # A PE image for x86-64: "MZ", then at the offset in 0x3c "PE\0\0" and machine 0x8664.
        pe = int.from_bytes(exe[0x3C:0x40], "little")
        if exe[:2] != b"MZ" or exe[pe:pe + 4] != b"PE\0\0" or exe[pe + 4:pe + 6] != b"\x64\x86":
            sys.exit(f"package-check: {top}/{program}.exe is not a 64-bit Windows program")
        page = z.read(f"{top}/{program}.txt").decode("ascii")
        if f"{program} - " not in page or "\b" in page or "\x1b" in page:
            sys.exit(f"package-check: {top}/{program}.txt is not the plain-text man page")
    for info in z.infolist():
        print(f"  {info.file_size:8d}  {info.filename}")
EOF
echo "$zip: ok"
