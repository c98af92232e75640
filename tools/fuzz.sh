#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time on a copy of its seed corpus; any finding fails the run.
#   bash tools/fuzz.sh            # 60 s per target, as CI runs it
#   FUZZ_SECONDS=600 bash tools/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DYM2608_FUZZ=ON -DYM2608_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)" --target console_fuzz replies_fuzz music_fuzz m3u_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in console replies music m3u; do
  mkdir -p "$work/$target"
  cp fuzz/corpus/$target/* "$work/$target/"
  echo "== ${target}_fuzz for ${seconds} s"
  # -close_fd_mask=3 silences the console's own output; libFuzzer keeps its reports.
  (cd "$work" && "$OLDPWD/build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$work/" "$work/$target" 2>&1 |
     grep -E '^(#[0-9]+[[:space:]]+DONE|stat::|==[0-9]+==|SUMMARY|.*deadly signal|frame check failed|music log check failed|playlist check failed)' || true)
  if ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* >/dev/null 2>&1; then
    echo "${target}_fuzz found a fault; inputs:"; ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* 2>/dev/null
    for f in "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-*; do [ -f "$f" ] && xxd "$f" | head -20; done
    exit 1
  fi
done
echo "fuzzing: no findings"
