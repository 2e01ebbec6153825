#!/usr/bin/env bash
# The main job: a fixture renderer installation at 1.0.0 with 3ds Max 2010 and 2012, a release 1.1.0
# published with tools/publish-release into a web root that nginx serves on loopback, and
# QIMUpdate.exe driven through check, download, installation and the plug-in installer's
# "Install", as a user would. Screenshots of each step go to build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
"$root/scripts/setup.sh"
# The shipped 32-bit programs where this machine runs them, else the 64-bit build.
mode=$(qim_main_mode)
"$root/scripts/build.sh" "$mode" >/dev/null
build=$(qim_build_dir "$root" "$mode")
out="$build/demo"
rm -rf "$out"
mkdir -p "$out/shots"

. "$root/tests/wine-env.sh"
qim_start_env "$root" "$build" win32 "$build/demo-env"

# The maintainer's side: publish the release into a web root and serve it.
www="$build/demo-env/www"
port=$(sed -n 's/^QIM_E2E_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")
python3 "$root/tests/e2e/fixturerelease.py" "$build" "$build/demo-env/release-1.1.0" 1.1.0
mkdir -p "$www"
"$root/tools/publish-release" "$build/demo-env/release-1.1.0" 1.1.0 "$www"
python3 "$root/tests/e2e/nginxserver.py" "$build/demo-env/nginx" "$port" "$www" &
qim_env_pids+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
echo "demo: nginx serves the release on 127.0.0.1:$port"

# The user's side. The driver says where a screenshot belongs and waits for it.
updater="Z:$(printf '%s' "$build/bin/nginx/QIMUpdate.exe" | tr / '\\')"
shots="Z:$(printf '%s' "$out/shots" | tr / '\\')"
set +e
wine "$build/bin/e2e/qimroad.exe" "$updater" interactive "$shots" </dev/null 2>/dev/null |
while IFS= read -r line; do
  line=${line%$'\r'}
  case "$line" in
    "SHOT "*)
      read -r _ name x y w h <<<"$line"
      import -display "$DISPLAY" -window root -crop "$((w + 40))x$((h + 40))+$((x - 20))+$((y - 20))" \
        +repage "$out/$name.png"
      echo "demo: screenshot $out/$name.png"
      touch "$out/shots/$name.done" ;;
    "road: "*) echo "demo: ${line#road: }" ;;
    *) ;; # results for the tests, and 7-Zip's own console output

  esac
done
status=${PIPESTATUS[0]}
set -e
rm -rf "$out/shots"

# What changed, seen from outside.
install_dir="$WINEPREFIX/drive_c/qimtests/QIM Renderer"
echo
echo "== Summary =="
qim_describe_mode "$mode"
echo "renderer version before: 1.0.0, after: $(tr ' ' . <"$install_dir/dll/32/PlenaraVersion.txt")"
echo "installation files identical to the release: $(diff -rq "$build/demo-env/release-1.1.0" "$install_dir" >/dev/null && echo yes || echo no)"
echo "files in the installation: $(find "$install_dir" -type f | wc -l)"
for max in 2010 2012; do
  plugin="$WINEPREFIX/drive_c/Program Files/Autodesk/3ds Max $max/plugins/QIMplugin.dlr"
  echo "3ds Max $max plug-in: $( [ -f "$plugin" ] && cat "$plugin" || echo 'not installed')"
done
echo "update files left in the temporary folder: $(find "$WINEPREFIX"/drive_c/users/*/Temp -maxdepth 1 -name 'qim*' | wc -l)"
echo "screenshots: $(ls "$out"/*.png 2>/dev/null | wc -l) in $out"
exit "$status"
