#!/usr/bin/env bash
# Sets everything up, builds, and runs every test under Wine: all tests in a 32-bit prefix,
# then those labelled prefix64 again in a 64-bit prefix. Exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1
"$root/scripts/build.sh" || exit 1
build="$root/${QIM_BUILD_DIR:-build}"
logs="$build/test-logs"
mkdir -p "$logs"

status=0
"$root/tests/run.sh" "$build" --prefix win32 2>&1 | tee "$logs/win32.log" || status=1
"$root/tests/run.sh" "$build" --prefix win64 2>&1 | tee "$logs/win64.log" || status=1

# One closing line over both runs. Tests for the other kind of prefix skip themselves.
passed=0; failed=0; skipped=0
for log in "$logs/win32.log" "$logs/win64.log"; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [ -z "$line" ]; then status=1; continue; fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  skip=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)
  passed=$((passed + total - bad - skip)); failed=$((failed + bad)); skipped=$((skipped + skip))
done
[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
