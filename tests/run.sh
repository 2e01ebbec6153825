#!/usr/bin/env bash
# Runs a build's test programs under Wine, in a fresh copy of a ready Wine prefix with its own
# virtual X server, wineserver and loopback test update server.
# Usage: tests/run.sh BUILD_DIR [--prefix win32|win64] [ctest arguments...]
# A 64-bit build always runs in a 64-bit prefix. The 32-bit build runs in a 32-bit prefix, or in
# a 64-bit one only the tests labelled prefix64 unless ctest arguments say otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd); shift
arch=win32
if [ "${1:-}" = --prefix ]; then arch=$2; shift 2; fi
ctest_args=("$@")
. "$root/tests/wine-env.sh"
if [ "$(qim_build_mode "$build")" = x64 ]; then
  arch=win64
elif [ "$arch" = win64 ] && [ ${#ctest_args[@]} -eq 0 ]; then
  ctest_args=(-L prefix64)
fi

qim_start_env "$root" "$build" "$arch" "$build/run-$arch"
cd "$build"
status=0
ctest --output-on-failure --timeout 300 "${ctest_args[@]}" || status=$?
# Starts that Wine ended before the program ran were tried again; they stay visible here.
retried=$(grep -hE '^(test launcher|test driver): .*\(attempt [0-9]+\)' \
  Testing/Temporary/LastTest.log 2>/dev/null || true)
echo "starts tried again after Wine ended them before they ran: $(grep -c . <<<"$retried")"
[ -z "$retried" ] || printf '%s\n' "$retried"
exit "$status"
