#!/usr/bin/env bash
# ctest's launcher for the Windows test programs: wine, and once more when Wine ended a program
# before it ran at all. Wine now and then ends a new process before it has initialised (about
# 1 in 1,750 starts here, with ERROR_INTERNAL_ERROR where a program starts another); a test
# program then ends within a moment without a line on standard output, where every one prints
# there first. Such a start is logged to stderr (tests/run.sh counts the lines); a program that
# prints nothing fails, even with exit code 0.
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  start=$SECONDS
  wine "$@" | tee "$out"
  rc=${PIPESTATUS[0]}
  if [ -s "$out" ] || [ $((SECONDS - start)) -gt 2 ]; then
    exit "$rc"
  fi
  echo "test launcher: $1 ended with exit code $rc before it printed anything (attempt $attempt)" >&2
done
[ "$rc" -ne 0 ] || rc=1
exit "$rc"
