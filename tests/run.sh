#!/usr/bin/env bash
# Runs a build's test programs under Wine, each run in a fresh copy of a ready Wine prefix,
# with its own virtual X server, its own wineserver and the loopback test update server.
# Usage: tests/run.sh BUILD_DIR [--prefix win32|win64] [ctest arguments...]
# In the 64-bit prefix only the tests labelled prefix64 run unless ctest arguments say otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd); shift
arch=win32
if [ "${1:-}" = --prefix ]; then arch=$2; shift 2; fi
ctest_args=("$@")
if [ "$arch" = win64 ] && [ ${#ctest_args[@]} -eq 0 ]; then ctest_args=(-L prefix64); fi

port=$(sed -n 's/^QIM_TEST_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")
work="$build/run-$arch"
rm -rf "$work"
mkdir -p "$work/webroot"
cp -a "$root/.cache/wine-template-$arch" "$work/prefix"

export WINEPREFIX="$work/prefix" WINEARCH="$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QIM_TEST_WEBROOT="Z:$(printf '%s' "$work/webroot" | tr / '\\')"
export QIM_TEST_WEBROOT_UNIX="$work/webroot"

pids=()
cleanup() {
  wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Xvfb picks a free display itself, so parallel runs never share one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

python3 "$root/tests/server/testserver.py" --port "$port" --root "$work/webroot" \
  >"$work/server.log" 2>&1 &
pids+=($!)

# One wineserver for the whole run; Wine's services inherit the first process's output,
# so that process must not hold ctest's pipe.
wineserver -p
wine "$build/bin/fixtures/idle.exe" </dev/null >/dev/null 2>&1 &
pids+=($!)

cd "$build"
ctest --output-on-failure --timeout 300 "${ctest_args[@]}"
