#!/usr/bin/env bash
# Builds the project twice, plain and with AddressSanitizer + UndefinedBehaviorSanitizer,
# and runs the whole test suite on each build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

for variant in build build-sanitize; do
  flags=()
  [ "$variant" = build-sanitize ] && flags=(-DYM2608_SANITIZE=ON)
  echo "== $variant"
  cmake -S . -B "$variant" "${flags[@]}" >/dev/null
  cmake --build "$variant" -j "$jobs"
  ctest --test-dir "$variant" --output-on-failure -j "$jobs"
done
