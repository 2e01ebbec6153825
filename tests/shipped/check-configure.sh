#!/usr/bin/env bash
# Configures the project without a release key: that must fail and say how to make and pass
# one; with QIM_ALLOW_UNSIGNED_UPDATES=ON it must warn, and the updater's key record must say
# it was built unsigned on purpose (only that one object is compiled, to stay cheap).
# Usage: tests/shipped/check-configure.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE
set -uo pipefail
source=$1 work=$2 toolchain=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
configure() { # DIR [cmake args...]
  rm -rf "$1"
  cmake -S "$source" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DQIM_BUILD_TESTS=OFF "${@:2}" 2>&1
}

output=$(configure "$work/nokey") && fail "configuring without a key succeeded"
for hint in "tools/publish-release keygen" "-DQIM_RELEASE_PUBLIC_KEY=" "QIM_ALLOW_UNSIGNED_UPDATES=ON"; do
  grep -qF -- "$hint" <<<"$output" || fail "the message without a key does not say '$hint'"
done
echo "without a key: $(grep -m 1 'No release key' <<<"$output" | sed 's/^ *//')"

output=$(configure "$work/optout" -DQIM_ALLOW_UNSIGNED_UPDATES=ON) || fail "the opt-out does not configure: $output"
grep -q "installs unsigned updates" <<<"$output" || fail "the opt-out does not warn"
if make -s -C "$work/optout/updater" releasesignature.cpp.obj >/dev/null 2>&1; then
  record=$(grep -a -o 'qim-release-key:[ -~]*' "$work/optout/updater/CMakeFiles/updater_core.dir/releasesignature.cpp.obj")
  echo "with the opt-out: $record"
  [[ $record == "qim-release-key:none, unsigned updates allowed on purpose" ]] ||
    fail "the unsigned build's key record is '$record'"
else
  fail "releasesignature.cpp does not compile with the opt-out"
fi
rm -rf "$work/nokey" "$work/optout"
exit $failed
