#!/usr/bin/env bash
# Release keys cannot be mixed up: one row per way of getting them wrong, each refused with its
# reason by scripts/build.sh (run in a scratch copy of the scripts, never this checkout's
# .cache), by CMake or by the publisher; and a build with the development key is marked.
# Usage: tests/shipped/check-keys.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE
set -uo pipefail
source=$1 work=$2 toolchain=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
rm -rf "$work" && mkdir -p "$work/keys" "$work/cache/dev-release-key"
# The cross-built libraries are read from the checkout's cache; the keys are the scratch ones.
for library in "$source"/.cache/{curl,sodium,zstd}-*; do ln -s "$library" "$work/cache/"; done

# Key files as keygen writes them: a pair, an unlabelled line, and a development key.
"$source/tools/publish-release" keygen "$work/keys/secret.key" >"$work/keys/public.key"
"$source/tools/publish-release" keygen "$work/cache/dev-release-key/secret.key" \
  >"$work/cache/dev-release-key/public.key"
public=$(head -n 1 "$work/keys/public.key")
dev=$(head -n 1 "$work/cache/dev-release-key/public.key")
echo "${public#qim-release-public-key-1 }" >"$work/keys/unlabelled.key"

# A scratch checkout: the scripts and the publisher, with or without its own .cache.
checkout() { # DIR WITH_CACHE
  mkdir -p "$1" && cp -r "$source/scripts" "$source/tools" "$1/"
  [ "$2" = no ] || mkdir "$1/.cache"
}
checkout "$work/nocache" no
checkout "$work/checkout" yes

# NAME | expected words of the refusal | command
rows=(
  "no .cache|run scripts/setup.sh first|$work/nocache/scripts/build.sh x86"
  "secret key as the public key file|is a secret key|env QIM_RELEASE_PUBLIC_KEY_FILE=$work/keys/secret.key $work/checkout/scripts/build.sh x86"
  "unlabelled public key file|does not start with qim-release-public-key-1|env QIM_RELEASE_PUBLIC_KEY_FILE=$work/keys/unlabelled.key $work/checkout/scripts/build.sh x86"
  "secret key in QIM_RELEASE_PUBLIC_KEY|holds a secret key|env QIM_RELEASE_PUBLIC_KEY=$(head -n 1 "$work/keys/secret.key" | tr ' ' '_') $work/checkout/scripts/build.sh x86"
  "opt-out with a key|choose one|env QIM_ALLOW_UNSIGNED_UPDATES=ON QIM_RELEASE_PUBLIC_KEY=${public#* } $work/checkout/scripts/build.sh x86"
  "release mode without a key|needs the publisher's key|env QIM_RELEASE=1 $work/checkout/scripts/build.sh x86"
  "publisher given the public key|that is the public key|$source/tools/publish-release renew $work/web --key $work/keys/public.key"
)
before=$(ls -A "$work")
for row in "${rows[@]}"; do
  IFS='|' read -r name words command <<<"$row"
  output=$($command 2>&1) && fail "$name: not refused"
  grep -qF -- "$words" <<<"$output" || fail "$name: the refusal does not say '$words': $output"
  echo "$name: $(grep -m 1 -F -- "$words" <<<"$output")"
done
[ "$(ls -A "$work")" = "$before" ] || fail "a refused build wrote outside its checkout"
for stray in /secret.key /public.key /.cache; do
  [ ! -e "$stray" ] || fail "$stray exists"
done
[ "$(ls -A "$work/nocache" | tr '\n' ' ')" = "scripts tools " ] ||
  fail "build.sh without .cache wrote into the checkout: $(ls -A "$work/nocache")"

# CMake: a secret key, a key beside the opt-out, the development key in release mode; then the
# development key's record in the updater.
configure() { # DIR [cmake args...]
  rm -rf "$1"
  cmake -S "$source" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DQIM_BUILD_TESTS=OFF -DQIM_CACHE_DIR="$work/cache" "${@:2}" 2>&1
}
cmake_rows=(
  "CMake given a secret key|holds a secret key|-DQIM_RELEASE_PUBLIC_KEY=$(head -n 1 "$work/keys/secret.key" | tr ' ' '_')"
  "CMake opt-out with a key|choose one|-DQIM_RELEASE_PUBLIC_KEY=${public#* } -DQIM_ALLOW_UNSIGNED_UPDATES=ON"
  "CMake release mode with the development key|local development key|-DQIM_RELEASE_PUBLIC_KEY=${dev#* } -DQIM_RELEASE=ON"
)
for row in "${cmake_rows[@]}"; do
  IFS='|' read -r name words arguments <<<"$row"
  read -r -a arguments <<<"$arguments"
  output=$(configure "$work/refused" "${arguments[@]}") && fail "$name: not refused"
  grep -qF -- "$words" <<<"$output" || fail "$name: the refusal does not say '$words'"
  echo "$name: refused"
done
output=$(configure "$work/dev" "-DQIM_RELEASE_PUBLIC_KEY=$dev") || fail "the development key does not configure: $output"
if make -s -C "$work/dev/updater" releasesignature.cpp.obj >/dev/null 2>&1; then
  record=$(grep -a -o 'qim-release-key:[ -~]*' "$work/dev/updater/CMakeFiles/updater_core.dir/releasesignature.cpp.obj")
  echo "development key: $record"
  [[ $record == "qim-release-key:${dev#* } development key: do not distribute" ]] ||
    fail "the development build's key record is '$record'"
else
  fail "releasesignature.cpp does not compile with the development key"
fi
rm -rf "$work"
exit $failed
