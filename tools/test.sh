#!/usr/bin/env bash
# Runs every test of the project:
#   1. a plain build and an AddressSanitizer + UndefinedBehaviorSanitizer build,
#      each with its whole CTest suite (unit, end-to-end, valgrind on the plain build);
#   2. each fuzz target for FUZZ_SECONDS (30 here; tools/fuzz.sh alone runs 60);
#   3. the Windows build, cross-built and run end to end under Wine.
# Needs what tools/install-deps.sh --windows installs.
#   tools/test.sh --quick   only step 1's plain build
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

variants=(build build-sanitize)
[ "${1:-}" = --quick ] && variants=(build)
for variant in "${variants[@]}"; do
  flags=()
  [ "$variant" = build-sanitize ] && flags=(-DYM2608_SANITIZE=ON)
  echo "== $variant"
  cmake -S . -B "$variant" "${flags[@]}" >/dev/null
  cmake --build "$variant" -j "$jobs"
  ctest --test-dir "$variant" --output-on-failure -j "$jobs"
done
[ "${1:-}" = --quick ] && exit 0

# Three targets now: half a minute each keeps the whole run well inside CI's time.
FUZZ_SECONDS=${FUZZ_SECONDS:-30} bash tools/fuzz.sh
bash tools/windows-check.sh
bash tools/package-check.sh
