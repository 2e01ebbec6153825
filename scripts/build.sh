#!/usr/bin/env bash
# Configures and builds both programs, the test programs and the fixtures with MinGW-w64.
# QIM_BUILD_DIR (default build), QIM_TEST_SERVER_PORT (default 18431) and QIM_E2E_SERVER_PORT
# (default: the test server's port + 1000) select the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/${QIM_BUILD_DIR:-build}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DQIM_TEST_SERVER_PORT="${QIM_TEST_SERVER_PORT:-18431}" \
      -DQIM_E2E_SERVER_PORT="${QIM_E2E_SERVER_PORT:-$(( ${QIM_TEST_SERVER_PORT:-18431} + 1000 ))}" >/dev/null
cmake --build "$build" -j"$(nproc)"
