#!/usr/bin/env bash
# Configures and builds both programs, the test programs and the fixtures with MinGW-w64.
# Usage: scripts/build.sh [x86|x64]   (default x86: the shipped 32-bit build, in build/)
# x64 builds the same sources for x86_64 in build-x64/; its checks of the shipped programs read
# the 32-bit ones, so it builds those first.
# QIM_BUILD_DIR (default build), QIM_TEST_SERVER_PORT (default 18431) and QIM_E2E_SERVER_PORT
# (default: the test server's port + 1000) select the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
mode=${1:-x86}
port=${QIM_TEST_SERVER_PORT:-18431}

configure() { # BUILD TOOLCHAIN [cmake args...]
  local build=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQIM_TEST_SERVER_PORT="$port" \
        -DQIM_E2E_SERVER_PORT="${QIM_E2E_SERVER_PORT:-$(( port + 1000 ))}" "$@" >/dev/null
}

shipped=$(qim_build_dir "$root" x86)
configure "$shipped" mingw-i686.cmake
case "$mode" in
  x86) cmake --build "$shipped" -j"$(nproc)" ;;
  x64)
    cmake --build "$shipped" -j"$(nproc)" --target QIMUpdate QIM_InstallPlugins
    build=$(qim_build_dir "$root" x64)
    configure "$build" mingw-x86_64.cmake -DQIM_SHIPPED_BIN_DIR="$shipped/bin"
    cmake --build "$build" -j"$(nproc)" ;;
  *) echo "build: the mode is x86 or x64, not '$mode'" >&2; exit 2 ;;
esac
