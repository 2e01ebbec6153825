#!/usr/bin/env bash
# Sets everything up, builds, and runs every test under Wine, in each mode this machine runs
# (scripts/modes.sh; QIM_TEST_ARCH=x86 or x64 forces one):
#   x86  the shipped 32-bit build: all tests in a 32-bit prefix, then those labelled prefix64
#        again in a 64-bit prefix
#   x64  the same sources built for x86_64: all tests in a 64-bit prefix
# Ends with one line over every run; exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
"$root/scripts/setup.sh" || exit 1
modes=$(qim_modes) || exit 1

status=0
logs=()
run() { # MODE PREFIX
  local build; build=$(qim_build_dir "$root" "$1")
  local log="$build/test-logs/$1-$2.log"
  mkdir -p "$build/test-logs"
  echo "== mode $1: $([ "$1" = x64 ] && echo 64-bit || echo 32-bit) build in a $2 prefix =="
  "$root/tests/run.sh" "$build" --prefix "$2" 2>&1 | tee "$log" || status=1
  logs+=("$log")
}
echo "test: set-up took ${SECONDS} s"
for mode in $modes; do
  started=$SECONDS
  echo "== mode $mode: building =="
  if ! "$root/scripts/build.sh" "$mode"; then
    echo "test: the $mode build failed"; status=1; continue
  fi
  if [ "$mode" = x86 ]; then run x86 win32; run x86 win64; else run x64 win64; fi
  echo "test: mode $mode took $((SECONDS - started)) s, build included"
done

# One closing line over every run. Tests for another kind of prefix skip themselves.
passed=0; failed=0; skipped=0
for log in "${logs[@]}"; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [ -z "$line" ]; then status=1; echo "test: no ctest summary in $log"; continue; fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  skip=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)
  echo "$(basename "$log" .log): $((total - bad - skip)) passed, $bad failed, $skip skipped"
  passed=$((passed + total - bad - skip)); failed=$((failed + bad)); skipped=$((skipped + skip))
done
[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
