#!/usr/bin/env bash
# Configures and builds both programs, the test programs and the fixtures with MinGW-w64.
# Usage: scripts/build.sh [x86|x64]   (default x86: the shipped 32-bit build, in build/)
# x64 builds the same sources for x86_64 in build-x64/; its checks of the shipped programs read
# the 32-bit ones, so it builds those first.
# QIM_BUILD_DIR (default build), QIM_TEST_SERVER_PORT (default 18431) and QIM_E2E_SERVER_PORT
# (default: the test server's port + 1000) select the build.
# QIMUpdate.exe trusts the release key QIM_RELEASE_PUBLIC_KEY (the labelled line; 64 bare hex
# digits only outside release mode) or the one in the
# file QIM_RELEASE_PUBLIC_KEY_FILE (the line "qim-release-public-key-1 <hex>" that publish-release
# keygen printed); without either, a local development key made once under
# .cache/dev-release-key/ (its secret key beside it), and the program is marked as such.
# QIM_RELEASE=1 makes a build to ship: it needs the publisher's key and refuses the development key.
# QIM_ALLOW_UNSIGNED_UPDATES=ON builds it without a key, on purpose: it installs unsigned updates.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
mode=${1:-x86}
port=${QIM_TEST_SERVER_PORT:-18431}
die() { echo "build: $*" >&2; exit 1; }

# Everything the build needs (libraries, 7-Zip, keys) is made there; without it nothing is built.
[ -d "$root/.cache" ] || die "no .cache in $root: run scripts/setup.sh first"

# A key file's first word tells a public key from a secret one.
public_key_from_file() { # FILE
  local words; words=$(head -n 1 "$1") || die "cannot read $1"
  case "$words" in
    qim-release-public-key-1\ *) key=$(echo "${words#qim-release-public-key-1 }" | tr -d '[:space:]') ;;
    qim-release-secret-key-1*) die "$1 is a secret key; QIM_RELEASE_PUBLIC_KEY_FILE takes the public key (qim-release-public-key-1 ...)" ;;
    *) die "$1 does not start with qim-release-public-key-1 (an unlabelled line could be a secret key)" ;;
  esac
}

dev_key() {
  local dev="$root/.cache/dev-release-key"
  if [ ! -s "$dev/public.key" ]; then
    # Made aside and renamed, so that two builds started at once agree on one key.
    local aside; aside=$(mktemp -d "$root/.cache/dev-release-key.XXXXXX") || die "cannot write in .cache"
    "$root/tools/publish-release" keygen "$aside/secret.key" >"$aside/public.key" ||
      { rm -rf "$aside"; die "publish-release keygen failed"; }
    mv -T "$aside" "$dev" 2>/dev/null || rm -rf "$aside"
  fi
  echo "build: no release key given; QIMUpdate.exe trusts the local development key in $dev: do not distribute it" >&2
  local line; line=$(head -n 1 "$dev/public.key")
  key=${line#qim-release-public-key-1 }
}

# Sets key; every refusal ends the build here, before anything is configured.
key=
release_key() {
  local given=${QIM_RELEASE_PUBLIC_KEY:-}${QIM_RELEASE_PUBLIC_KEY_FILE:-}
  if [ "${QIM_ALLOW_UNSIGNED_UPDATES:-OFF}" = ON ]; then
    [ -z "$given" ] || die "QIM_ALLOW_UNSIGNED_UPDATES=ON and a release key are given: choose one"
    echo "build: QIM_ALLOW_UNSIGNED_UPDATES=ON: QIMUpdate.exe installs unsigned updates" >&2
  elif [ -n "${QIM_RELEASE_PUBLIC_KEY:-}" ]; then
    case "$QIM_RELEASE_PUBLIC_KEY" in
      *qim-release-secret-key*) die "QIM_RELEASE_PUBLIC_KEY holds a secret key" ;;
      qim-release-public-key-1\ *) ;;
      # Bare hex could be an older keygen's secret key as well: a build to ship takes the label.
      *) [ "${QIM_RELEASE:-0}" != 1 ] ||
           die "QIM_RELEASE=1: QIM_RELEASE_PUBLIC_KEY must be the labelled line qim-release-public-key-1 <hex>" ;;
    esac
    key=${QIM_RELEASE_PUBLIC_KEY#qim-release-public-key-1 }
  elif [ -n "${QIM_RELEASE_PUBLIC_KEY_FILE:-}" ]; then
    public_key_from_file "$QIM_RELEASE_PUBLIC_KEY_FILE"
  elif [ "${QIM_RELEASE:-0}" = 1 ]; then
    die "QIM_RELEASE=1 needs the publisher's key (QIM_RELEASE_PUBLIC_KEY or QIM_RELEASE_PUBLIC_KEY_FILE)"
  else
    dev_key
  fi
}
release_key

configure() { # BUILD TOOLCHAIN [cmake args...]
  local build=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQIM_TEST_SERVER_PORT="$port" \
        -DQIM_E2E_SERVER_PORT="${QIM_E2E_SERVER_PORT:-$(( port + 1000 ))}" \
        -DQIM_RELEASE_PUBLIC_KEY="${key:+qim-release-public-key-1 }$key" -DQIM_ALLOW_UNSIGNED_UPDATES="${QIM_ALLOW_UNSIGNED_UPDATES:-OFF}" \
        -DQIM_RELEASE="$([ "${QIM_RELEASE:-0}" = 1 ] && echo ON || echo OFF)" \
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
