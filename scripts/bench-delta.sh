#!/usr/bin/env bash
# Delta benchmark: a patch release of a real Windows x64 binary tree, through the shipped window.
#
# Usage: scripts/bench-delta.sh [BUILD_DIR] [RUNS]   (defaults: the build of the mode this machine runs, 3)
#
# The npm packages @img/sharp-win32-x64 0.34.4 and 0.34.5 (libvips for Windows x64: about 20 MB
# of DLLs) are fetched once into .cache/sharp-win32-x64 with npm pack. 0.34.4 goes into the
# road's 1.0.0 installation (under vips/) and is published as release 1.0.0; 0.34.5 is
# published as 1.1.0 with a delta from 1.0.0 (tools/publish-release --delta-from), served by
# nginx on loopback. QIMUpdate.exe (auto-install) is then driven by tests/e2e/qimroad.exe
# through check, "Download update" and the installation, RUNS times through the delta, RUNS
# times through the same delta with the unchanged files left out of its manifest (re-signed with
# the test key), and RUNS times through the full archive (the delta's statement moved aside),
# alternating.
# Prints the bytes each path downloaded (nginx's access log: body bytes of every request of the
# run) and their share of the full archive (target: at most 15 %), the time from the click on
# "Download update" to "Done" per run and as the median (target: the delta path sooner), and what
# checking the unchanged files costs (the delta's median less the unchecked one's).
# Figures only: nothing here fails on a missed target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
build=$(cd "${1:-$(qim_build_dir "$root" "$(qim_main_mode)")}" && pwd)
runs=${2:-3}
road="$build/bin/e2e/qimroad.exe"
[ -f "$road" ] || { echo "build first: $road is missing" >&2; exit 1; }

packages="$root/.cache/sharp-win32-x64"
mkdir -p "$packages"
for version in 0.34.4 0.34.5; do
  [ -f "$packages/img-sharp-win32-x64-$version.tgz" ] ||
    (cd "$packages" && npm pack --silent "@img/sharp-win32-x64@$version" >/dev/null)
done

# shellcheck source=../tests/wine-env.sh
. "$root/tests/wine-env.sh"
work="$build/bench-delta"
qim_start_env "$root" "$build" win32 "$work"
port=$(sed -n 's/^QIM_E2E_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")
key="$build/test-release-key/secret.key" # the test key, labelled (see updater/CMakeLists.txt)
fixture="$root/tests/e2e/fixturerelease.py"

echo "Publishing 0.34.4 as 1.0.0 and 0.34.5 as 1.1.0 with a delta..."
python3 "$fixture" "$build" "$work/old" installed
python3 "$fixture" "$build" "$work/new" 1.1.0
for tree in old new seed; do mkdir -p "$work/$tree/vips"; done
tar xzf "$packages/img-sharp-win32-x64-0.34.4.tgz" -C "$work/old/vips" --strip-components=1
tar xzf "$packages/img-sharp-win32-x64-0.34.5.tgz" -C "$work/new/vips" --strip-components=1
cp -r "$work/old/vips" "$work/seed/"
www="$work/www"
mkdir -p "$www"
"$root/tools/publish-release" "$work/old" 1.0.0 "$www" --key "$key" >/dev/null
started=$(date +%s.%N)
"$root/tools/publish-release" "$work/new" 1.1.0 "$www" --key "$key" --delta-from "$www"
echo "publishing 1.1.0 with its delta took $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s"
base="$www/files/qimRenderer"
full_bytes=$(stat -c %s "$base/Renderer_1.1.0.zip")
delta_bytes=$(stat -c %s "$base/Renderer_1.1.0.from-1.0.0.zip")
echo "full archive $full_bytes bytes, delta $delta_bytes bytes"

# The same delta without its "same" lines: the unchanged files go unchecked.
delta="$base/Renderer_1.1.0.from-1.0.0.zip"
/usr/bin/python3 - "$root/tools/publish-release" "$key" "$delta" "$base/Renderer_1.1.0.zip" "$work/unchecked" <<'PY'
import importlib.machinery, os, shutil, sys, zipfile
tool, key, delta, full, out = sys.argv[1:]
publish = importlib.machinery.SourceFileLoader("publish", tool).load_module()
os.makedirs(out, exist_ok=True)
target = os.path.join(out, os.path.basename(delta))
same = 0
with zipfile.ZipFile(delta) as old, zipfile.ZipFile(target, "w") as new:
    for item in old.infolist():
        data = old.read(item)
        if item.filename == "delta/manifest.txt":
            lines = data.decode().splitlines(keepends=True)
            same = sum(line.startswith("same ") for line in lines)
            data = "".join(line for line in lines if not line.startswith("same ")).encode()
        new.writestr(item, data)
signed = publish.signature_file(publish.load_signing_key(key), "release", "1.1.0", target,
                                "1.0.0", full)
with open(target + ".sig", "wb") as file:
    file.write(signed)
print(f"unchanged files listed in the delta: {same}")
PY
mkdir -p "$work/published"
cp "$delta" "$delta.sig" "$work/published/"
swap_delta() { # FOLDER: puts that folder's delta and statement in place
  cp "$1/$(basename "$delta")" "$delta"; cp "$1/$(basename "$delta").sig" "$delta.sig"
}

python3 "$root/tests/e2e/nginxserver.py" "$work/nginx" "$port" "$www" &
qim_env_pids+=($!)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
log="$work/nginx/access.log"
export QIM_ROAD_SEED="Z:$(printf '%s' "$work/seed" | tr / '\\')"
updater="Z:$(printf '%s' "$build/bin/nginx/QIMUpdate.exe" | tr / '\\')"

declare -A times bytes ready
run_once() { # PATH_NAME
  local before output ms
  before=$(wc -l <"$log")
  output=$(wine "$road" "$updater" auto_install </dev/null 2>/dev/null | tr -d '\r')
  ms=$(sed -n 's/^RESULT click_to_done_ms=//p' <<<"$output")
  [ -n "$ms" ] || { echo "the $1 run did not reach Done:" >&2; grep '^road' <<<"$output" >&2; exit 1; }
  times[$1]+="$ms "
  # From the last "Rebuilding" line to "Patch update ready": the hashes of unchanged files (their
  # sizes are checked before the first rebuild, at no measurable cost) and the last rebuild.
  ready[$1]+="$(awk '/^STATUS [0-9]+ Rebuilding/ { last = $2 } /^STATUS [0-9]+ Patch update ready/ { print $2 - last }' <<<"$output") "
  bytes[$1]=$(tail -n +"$((before + 1))" "$log" | awk '{ sum += $10 } END { print sum + 0 }')
  echo "  $1: click to Done $ms ms, $(grep -c . < <(tail -n +"$((before + 1))" "$log")) requests, ${bytes[$1]} bytes"
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for run in $(seq "$runs"); do
  echo "run $run"
  swap_delta "$work/published"
  run_once delta
  swap_delta "$work/unchecked"
  run_once unchecked
  rm "$delta.sig"
  run_once full
done
swap_delta "$work/published"

echo
echo "== Delta benchmark (@img/sharp-win32-x64 0.34.4 -> 0.34.5, $runs runs each) =="
qim_describe_mode "$(qim_build_mode "$build")"
echo "bytes downloaded: delta path ${bytes[delta]}, full path ${bytes[full]}"
echo "delta path's bytes: $(awk "BEGIN { printf \"%.1f\", ${bytes[delta]} * 100 / $full_bytes }") % of the full archive (target: at most 15 %)"
delta_ms=$(median <<<"${times[delta]}")
unchecked_ms=$(median <<<"${times[unchecked]}")
echo "click on \"Download update\" to \"Done\", median: delta path $delta_ms ms, full path $(median <<<"${times[full]}") ms (target: delta sooner)"
echo "the same delta without its unchanged files checked: $unchecked_ms ms"
delta_tail=$(median <<<"${ready[delta]}")
unchecked_tail=$(median <<<"${ready[unchecked]}")
echo "last rebuild to \"Patch update ready\", median: $delta_tail ms with the unchanged files' hashes, $unchecked_tail ms without: they cost about $(awk "BEGIN { print $delta_tail - $unchecked_tail }") ms"
