#!/usr/bin/env bash
# The main job: a whole interactive update of a fixture renderer installation from 1.0.0 to a
# release 1.1.0 published into a local web root, driven through the programs' windows.
# Screenshots of each step go to build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build="$root/${QIM_BUILD_DIR:-build}"
out="$build/demo"
rm -rf "$out"
mkdir -p "$out/shots"

. "$root/tests/wine-env.sh"
qim_start_env "$root" "$build" win32 "$build/demo-env"

# The release a maintainer publishes: a renderer tree of version 1.1.0.
tree="$build/demo-env/release-1.1.0"
mkdir -p "$tree/dll/32" "$tree/bin/32" "$tree/max2010 plugin/32" "$tree/max2010 plugin/64"
cp "$build/bin/fixtures/PlenaraDLL32.dll" "$tree/dll/32/"
printf '1 1 0\n' >"$tree/dll/32/PlenaraVersion.txt"
cp "$build/bin/fixtures/7zG.exe" "$build/bin/QIM_InstallPlugins.exe" "$tree/bin/32/"
printf 'QIM plug-in 1.1.0 for 3ds Max 2010 32 bit\n' >"$tree/max2010 plugin/32/QIMplugin.dlr"
printf 'QIM plug-in 1.1.0 for 3ds Max 2010 64 bit\n' >"$tree/max2010 plugin/64/QIMplugin.dlr"
printf 'QIM renderer 1.1.0\n' >"$tree/readme.txt"
"$root/tools/publish-release" "$tree" 1.1.0 "$QIM_TEST_WEBROOT_UNIX"

shots="Z:$(printf '%s' "$out/shots" | tr / '\\')"
set +e
wine "$build/bin/demo/qimdemo.exe" "$shots" </dev/null 2>/dev/null | while IFS= read -r line; do
  line=${line%$'\r'}
  case "$line" in
    "SHOT "*)
      name=${line#SHOT }
      import -display "$DISPLAY" -window root "$out/$name.png"
      echo "demo: screenshot $out/$name.png"
      touch "$out/shots/$name.done" ;;
    *) echo "$line" ;;
  esac
done
status=${PIPESTATUS[0]}
exit "$status"
