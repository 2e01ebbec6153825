#!/usr/bin/env bash
# Release keys cannot be mixed up: one row per way of getting them wrong, each refused with its
# reason by scripts/build.sh (run in a scratch copy of the scripts, never this checkout's
# .cache) or by the publisher. CMake's refusals are check-configure.sh's.
# Usage: tests/shipped/check-keys.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source=$1 work=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }
rm -rf "$work" && mkdir -p "$work/keys"

# Key files as keygen writes them, and an unlabelled line.
"$source/tools/publish-release" keygen "$work/keys/secret.key" >"$work/keys/public.key"
public=$(head -n 1 "$work/keys/public.key")
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
  "release mode with a bare hex key|must be the labelled line|env QIM_RELEASE=1 QIM_RELEASE_PUBLIC_KEY=${public#* } $work/checkout/scripts/build.sh x86"
  "publisher given the public key|that is the public key|$source/tools/publish-release renew $work/web --key $work/keys/public.key"
  "publisher given an unlabelled key|publish-release relabel|$source/tools/publish-release renew $work/web --key $work/keys/unlabelled.key"
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

rm -rf "$work"
exit $failed
