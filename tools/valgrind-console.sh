#!/usr/bin/env bash
# Runs the console under valgrind's memcheck, for the end-to-end suite: any
# memory error or leak turns into exit status 97, which the tests see as a
# failed run (memory still reachable at exit, such as the C++ runtime's own
# pool, is no leak). valgrind's report goes to a file, so the console's own standard
# error stays exactly as the tests expect; the report is shown on failure.
set -u
console=${YM2608_CONSOLE_BINARY:?the console binary to run}
log=$(mktemp "${TMPDIR:-/tmp}/ym2608-valgrind.XXXXXX")
valgrind --quiet --error-exitcode=97 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --log-file="$log" "$console" "$@"
status=$?
if [ "$status" -ne 0 ] && [ -s "$log" ]; then
  cat "$log" >&2
fi
rm -f "$log"
exit "$status"
