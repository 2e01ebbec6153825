#!/usr/bin/env bash
# Configures and builds both programs, the test programs and the fixtures with MinGW-w64.
# Usage: scripts/build.sh [x86|x64]   (default x86: the shipped 32-bit build, in build/)
# x64 builds the same sources for x86_64 in build-x64/; its checks of the shipped programs read
# the 32-bit ones, so it builds those first.
# QIM_BUILD_DIR (default build), QIM_TEST_SERVER_PORT (default 18431) and QIM_E2E_SERVER_PORT
# (default: the test server's port + 1000) select the build.
# QIMUpdate.exe trusts the release key QIM_RELEASE_PUBLIC_KEY (64 hex digits) or the one in the
# file QIM_RELEASE_PUBLIC_KEY_FILE (the line publish-release keygen printed); without either, a
# local development key made once under .cache/dev-release-key/ (its secret key beside it).
# QIM_ALLOW_UNSIGNED_UPDATES=ON builds it without a key, on purpose: it installs unsigned updates.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
mode=${1:-x86}
port=${QIM_TEST_SERVER_PORT:-18431}

release_key() {
  if [ "${QIM_ALLOW_UNSIGNED_UPDATES:-OFF}" = ON ]; then
    echo "build: QIM_ALLOW_UNSIGNED_UPDATES=ON: QIMUpdate.exe installs unsigned updates" >&2
  elif [ -n "${QIM_RELEASE_PUBLIC_KEY:-}" ]; then
    echo "$QIM_RELEASE_PUBLIC_KEY"
  elif [ -n "${QIM_RELEASE_PUBLIC_KEY_FILE:-}" ]; then
    head -n 1 "$QIM_RELEASE_PUBLIC_KEY_FILE" | tr -d '[:space:]'
  else
    local dev="$root/.cache/dev-release-key"
    if [ ! -s "$dev/public.key" ]; then
      # Made aside and renamed, so that two builds started at once agree on one key.
      local aside; aside=$(mktemp -d "$root/.cache/dev-release-key.XXXXXX")
      "$root/tools/publish-release" keygen "$aside/secret.key" >"$aside/public.key" ||
        { rm -rf "$aside"; echo "build: publish-release keygen failed" >&2; exit 1; }
      mv -T "$aside" "$dev" 2>/dev/null || rm -rf "$aside"
    fi
    echo "build: no release key given; QIMUpdate.exe trusts the local development key in $dev" >&2
    head -n 1 "$dev/public.key"
  fi
}
key=$(release_key)

configure() { # BUILD TOOLCHAIN [cmake args...]
  local build=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQIM_TEST_SERVER_PORT="$port" \
        -DQIM_E2E_SERVER_PORT="${QIM_E2E_SERVER_PORT:-$(( port + 1000 ))}" \
        -DQIM_RELEASE_PUBLIC_KEY="$key" -DQIM_ALLOW_UNSIGNED_UPDATES="${QIM_ALLOW_UNSIGNED_UPDATES:-OFF}" \
        "$@" >/dev/null
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
