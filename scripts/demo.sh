#!/usr/bin/env bash
# The main job: a fixture renderer installation at 1.0.0 with 3ds Max 2010 and 2012, a release 1.1.0
# published and signed with tools/publish-release into a web root that nginx serves on loopback,
# and QIMUpdate.exe (built with the demo's public key) driven through check, download,
# installation and the plug-in installer's "Install", as a user would. The release is
# published with a delta from 1.0.0, so the update downloads only that; the demo prints its
# bytes against the full archive's. Before that, the same release with one byte of its delta
# changed is refused. Screenshots of each step go to build/demo/.
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

# The maintainer's side: the key pair the build made under .cache/ (the updater was built with
# its public key), a signed release in a web root, served by nginx.
www="$build/demo-env/www"
port=$(sed -n 's/^QIM_E2E_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")
key="$build/test-release-key/secret.key" # the test key, labelled (see updater/CMakeLists.txt)
echo "demo: release key $(cat "$root/.cache/release-key/public.key") (public), secret key in $key"
# 1.0.0 as installed on the user's machine, with a large engine file that 1.1.0 changes a little.
fixture="$root/tests/e2e/fixturerelease.py"
python3 "$fixture" "$build" "$build/demo-env/release-1.0.0" installed
python3 "$fixture" "$build" "$build/demo-env/release-1.0.0" engine 0
python3 "$fixture" "$build" "$build/demo-env/release-1.1.0" 1.1.0
python3 "$fixture" "$build" "$build/demo-env/release-1.1.0" engine 1
mkdir -p "$www"
"$root/tools/publish-release" "$build/demo-env/release-1.0.0" 1.0.0 "$www" --key "$key"
"$root/tools/publish-release" "$build/demo-env/release-1.1.0" 1.1.0 "$www" --key "$key" --delta-from "$www"
# The road installs the fixture 1.0.0; the engine file is put beside it.
mkdir -p "$build/demo-env/seed/dll/32"
cp "$build/demo-env/release-1.0.0/dll/32/engine.bin" "$build/demo-env/seed/dll/32/"
export QIM_ROAD_SEED="Z:$(printf '%s' "$build/demo-env/seed" | tr / '\\')"
python3 "$root/tests/e2e/nginxserver.py" "$build/demo-env/nginx" "$port" "$www" &
qim_env_pids+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
echo "demo: nginx serves the release on 127.0.0.1:$port"

# The user's side. The driver says where a screenshot belongs and waits for it.
updater="Z:$(printf '%s' "$build/bin/nginx/QIMUpdate.exe" | tr / '\\')"
shots="Z:$(printf '%s' "$out/shots" | tr / '\\')"
road() { # SCENARIO SHOT_PREFIX
  wine "$build/bin/e2e/qimroad.exe" "$updater" "$1" "$shots" </dev/null 2>/dev/null |
  while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in
      "SHOT "*)
        read -r _ name x y w h <<<"$line"
        import -display "$DISPLAY" -window root -crop "$((w + 40))x$((h + 40))+$((x - 20))+$((y - 20))" \
          +repage "$out/$2$name.png"
        echo "demo: screenshot $out/$2$name.png"
        touch "$out/shots/$name.done" ;;
      "road: "*) echo "demo: ${line#road: }" ;;
      *) ;; # results for the tests, and 7-Zip's own console output
    esac
  done
  return "${PIPESTATUS[0]}"
}

# A tampered copy of the release: one byte of the delta changed, its size and signature kept.
archive="$www/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip"
cp "$archive" "$build/demo-env/good.zip"
offset=$(( $(stat -c %s "$archive") / 2 ))
python3 - "$archive" "$offset" <<'FLIP'
import sys
with open(sys.argv[1], "r+b") as archive:
    archive.seek(int(sys.argv[2]))
    byte = archive.read(1)[0]
    archive.seek(-1, 1)
    archive.write(bytes([byte ^ 0x01]))
FLIP
echo "demo: one bit of the delta changed at byte $offset; size and signature file kept"
set +e
road rejected rejected-
rejected_status=$?
rm -f "$out"/shots/*.done
mv "$build/demo-env/good.zip" "$archive"
echo "demo: the delta as signed is back on the server"
log="$build/demo-env/nginx/access.log"
served_before=$(wc -l <"$log")
road interactive ""
status=$?
set -e
[ "$rejected_status" -eq 0 ] || status=$rejected_status
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
full_bytes=$(stat -c %s "$www/files/qimRenderer/Renderer_1.1.0.zip")
downloaded=$(tail -n +"$((served_before + 1))" "$log" | awk '{ sum += $10 } END { print sum + 0 }')
echo "bytes downloaded by the update: $downloaded (the full archive has $full_bytes: $(awk "BEGIN { printf \"%.1f\", $downloaded * 100 / $full_bytes }") %)"
echo "tampered release refused and deleted: $([ "$rejected_status" -eq 0 ] && echo yes || echo no) (see $out/rejected-3-rejected.png)"
echo "screenshots: $(ls "$out"/*.png 2>/dev/null | wc -l) in $out"
exit "$status"
