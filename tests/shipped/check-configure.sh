#!/usr/bin/env bash
# Configures the project the ways a release key can be given wrongly: without a key it must fail
# and say how to make and pass one; with QIM_ALLOW_UNSIGNED_UPDATES=ON it must warn, and the
# updater's key record must say it was built unsigned on purpose; a secret key, a key beside the
# opt-out, and in release mode the development or test key or an unlabelled key are refused; the
# development key's record says so (only that one object is compiled, to stay cheap).
# Usage: tests/shipped/check-configure.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE
set -uo pipefail
source=$1 work=$2 toolchain=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
rm -rf "$work" && mkdir -p "$work/cache/dev-release-key" "$work/cache/release-key"
# The cross-built libraries come from the checkout's cache; the keys are scratch ones.
for library in "$source"/.cache/{curl,sodium,zstd}-*; do ln -s "$library" "$work/cache/"; done
"$source/tools/publish-release" keygen "$work/secret.key" >"$work/public.key"
"$source/tools/publish-release" keygen "$work/cache/dev-release-key/secret.key" \
  >"$work/cache/dev-release-key/public.key"
# The tests' key as an older keygen left it in many caches: bare hex.
"$source/tools/publish-release" keygen "$work/test-secret.key" | cut -d ' ' -f 2 \
  >"$work/cache/release-key/public.key"
public=$(cut -d ' ' -f 2 "$work/public.key")
dev=$(cut -d ' ' -f 2 "$work/cache/dev-release-key/public.key")
test_key=$(cat "$work/cache/release-key/public.key")

configure() { # DIR [cmake args...]
  rm -rf "$1"
  cmake -S "$source" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DQIM_BUILD_TESTS=OFF -DQIM_CACHE_DIR="$work/cache" "${@:2}" 2>&1
}
# The key record compiled into the updater of a configured build.
key_record() { # DIR
  make -s -C "$1/updater" releasesignature.cpp.obj >/dev/null 2>&1 || { echo "(does not compile)"; return; }
  grep -a -o 'qim-release-key:[ -~]*' "$1/updater/CMakeFiles/updater_core.dir/releasesignature.cpp.obj"
}

output=$(configure "$work/nokey") && fail "configuring without a key succeeded"
for hint in "tools/publish-release keygen" "-DQIM_RELEASE_PUBLIC_KEY=" "QIM_ALLOW_UNSIGNED_UPDATES=ON"; do
  grep -qF -- "$hint" <<<"$output" || fail "the message without a key does not say '$hint'"
done
echo "without a key: $(grep -m 1 'No release key' <<<"$output" | sed 's/^ *//')"

# NAME | words of the refusal | cmake arguments, separated by ;
refused=(
  "a secret key|holds a secret key|-DQIM_RELEASE_PUBLIC_KEY=$(tr ' ' '_' <"$work/secret.key")"
  "the opt-out with a key|choose one|-DQIM_RELEASE_PUBLIC_KEY=$public;-DQIM_ALLOW_UNSIGNED_UPDATES=ON"
  "release mode with the development key|local development or test key|-DQIM_RELEASE_PUBLIC_KEY=qim-release-public-key-1 $dev;-DQIM_RELEASE=ON"
  "release mode with the tests' key|local development or test key|-DQIM_RELEASE_PUBLIC_KEY=qim-release-public-key-1 $test_key;-DQIM_RELEASE=ON"
  "release mode with bare hex|must be the labelled public key|-DQIM_RELEASE_PUBLIC_KEY=$public;-DQIM_RELEASE=ON"
)
for row in "${refused[@]}"; do
  IFS='|' read -r name words arguments <<<"$row"
  IFS=';' read -r -a arguments <<<"$arguments"
  output=$(configure "$work/refused" "${arguments[@]}") && fail "$name: not refused"
  grep -qF -- "$words" <<<"$output" || fail "$name: the refusal does not say '$words'"
  echo "$name: refused"
done

output=$(configure "$work/optout" -DQIM_ALLOW_UNSIGNED_UPDATES=ON) || fail "the opt-out does not configure: $output"
grep -q "installs unsigned updates" <<<"$output" || fail "the opt-out does not warn"
record=$(key_record "$work/optout")
echo "with the opt-out: $record"
[[ $record == "qim-release-key:none, unsigned updates allowed on purpose" ]] ||
  fail "the unsigned build's key record is '$record'"

output=$(configure "$work/release" "-DQIM_RELEASE_PUBLIC_KEY=qim-release-public-key-1 $public" -DQIM_RELEASE=ON) ||
  fail "release mode with the publisher's labelled key does not configure: $output"
echo "release mode with the publisher's labelled key: configured"

output=$(configure "$work/dev" "-DQIM_RELEASE_PUBLIC_KEY=qim-release-public-key-1 $dev") ||
  fail "the development key does not configure: $output"
record=$(key_record "$work/dev")
echo "with the development key: $record"
[[ $record == "qim-release-key:$dev development key: do not distribute" ]] ||
  fail "the development build's key record is '$record'"
rm -rf "$work"
exit $failed
