#!/usr/bin/env bash
# Download benchmark: the updater's own download path against bare libcurl, under Wine.
#
# Usage: scripts/bench-download.sh [BUILD_DIR] [SIZE_MB]   (defaults: the build of the mode this machine runs (build/ or build-x64/), 256)
#
# Serves a SIZE_MB MiB file from the loopback test server (tests/server/testserver.py) in a
# fresh Wine prefix with its own X server (tests/wine-env.sh), then runs bench_download.exe
# five times in each mode (QIM_BENCH_RUNS), alternating; the runs of one mode scatter by more
# than the verification costs, so the medians need that many:
#   updater  downloadToFile on a worker thread, its progress callback driving a shown window's
#            status line and progress bar on the GUI thread, as in QIMUpdate
#   verified the same for a signed release: capped at the signed size, hashed (BLAKE2b-256,
#            libsodium) on a second thread while it arrives, size and hash compared at the end
#   bare     the same static libcurl into a fopen_s file, no progress callback
# Prints MB/s per run and the median of each (1 MB = 1048576 bytes), the ratio updater/bare,
# the time the verification adds to the updater's download (each verified run against the
# updater run just before it, median; target: at most 10 %),
# the number of progress updates and the share of the transfer time they cost (their count
# times the measured cost of one callback round trip to the GUI thread), and the updater's peak
# working set during the transfer (target: under 16 MB). Figures only: nothing here fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
build=$(cd "${1:-$(qim_build_dir "$root" "$(qim_main_mode)")}" && pwd)
size_mb=${2:-256}
helper="$build/bin/bench/bench_download.exe"
[ -f "$helper" ] || { echo "build first: $helper is missing" >&2; exit 1; }

# shellcheck source=../tests/wine-env.sh
. "$root/tests/wine-env.sh"
work="$build/bench-download"
qim_start_env "$root" "$build" win32 "$work"
port=$(sed -n 's/^QIM_TEST_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")

echo "Preparing a ${size_mb} MiB archive..."
head -c $((size_mb * 1048576)) /dev/urandom >"$work/webroot/Renderer_bench.zip"
hash=$(python3 -c 'import hashlib, sys
digest = hashlib.blake2b(digest_size=32)
with open(sys.argv[1], "rb") as file:
    for block in iter(lambda: file.read(1 << 20), b""):
        digest.update(block)
print(digest.hexdigest())' "$work/webroot/Renderer_bench.zip")
url="http://127.0.0.1:$port/Renderer_bench.zip"
target="Z:$(printf '%s' "$work/download.bin" | tr / '\\')"
for _ in $(seq 50); do
  curl -s -o /dev/null -r 0-0 "$url" 2>/dev/null && break || sleep 0.1
done

field() { sed -n "s/.*$1=\\([^ ]*\\).*/\\1/p"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A speeds
added=""
peak_ws=0
updates=""
runs=${QIM_BENCH_RUNS:-5}
for run in $(seq "$runs"); do
  for mode in updater verified bare; do
    signed=()
    [ "$mode" = verified ] && signed=("$((size_mb * 1048576))" "$hash")
    line=$(wine "$helper" "$mode" "$url" "$target" "${signed[@]}" 2>&1 | tr -d '\r' | grep '^mode=') || {
      echo "run $run ($mode) failed" >&2; exit 1; }
    rm -f "$work/download.bin"
    bytes=$(field bytes <<<"$line")
    seconds=$(field seconds <<<"$line")
    speed=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.1f", b / 1048576 / s }')
    speeds[$mode]+="$speed "
    # Each verified run is set against the updater run just before it: the machine's load
    # drifts less within a run than across runs.
    [ "$mode" = updater ] && updater_seconds=$seconds
    [ "$mode" = verified ] &&
      added+="$(awk -v u="$updater_seconds" -v v="$seconds" 'BEGIN { printf "%.1f", (v - u) / u * 100 }') "
    ws=$(field peak_workingset <<<"$line")
    before=$(field workingset_before <<<"$line")
    start=$(field workingset_process_start <<<"$line")
    extra=$(awk -v w="$ws" -v b="$before" -v s="$start" \
      'BEGIN { printf "  working set: process start %.1f MB, before transfer %.1f MB, peak %.1f MB", s / 1048576, b / 1048576, w / 1048576 }')
    if [ "$mode" = updater ]; then
      updates=$(field updates <<<"$line")
      callback_us=$(field callback_us <<<"$line")
      share=$(awk -v u="$updates" -v c="$callback_us" -v s="$seconds" \
        'BEGIN { printf "%.2f", u * c / 1e6 / s * 100 }')
      extra="$extra, status updates $updates at ${callback_us} us each = ${share}% of the time"
      [ "$ws" -gt "$peak_ws" ] && peak_ws=$ws
      growth=$(( ws - before ))
      [ "$growth" -gt "${peak_growth:-0}" ] && peak_growth=$growth
    else
      [ "$start" -gt "${bare_start:-0}" ] && bare_start=$start
    fi
    if [ "$bytes" -ne $((size_mb * 1048576)) ]; then
      echo "run $run ($mode): $bytes bytes arrived, not $((size_mb * 1048576))" >&2; exit 1
    fi
    printf 'run %d %-8s %8.1f MB/s  (%.2f s)%s\n' "$run" "$mode" "$speed" "$seconds" "$extra"
  done
done

updater_mbs=$(tr ' ' '\n' <<<"${speeds[updater]}" | grep . | median)
bare_mbs=$(tr ' ' '\n' <<<"${speeds[bare]}" | grep . | median)
verified_mbs=$(tr ' ' '\n' <<<"${speeds[verified]}" | grep . | median)
echo
echo "File: ${size_mb} MiB over loopback, $runs runs each, medians:"
printf 'updater path (downloadToFile + progress window): %.1f MB/s\n' "$updater_mbs"
printf 'verified (capped, BLAKE2b while it arrives):    %.1f MB/s\n' "$verified_mbs"
printf 'bare libcurl (no progress callback):            %.1f MB/s\n' "$bare_mbs"
awk -v u="$updater_mbs" -v b="$bare_mbs" 'BEGIN { printf "ratio updater/bare: %.2f\n", u / b }'
echo "verification adds $(tr ' ' '\n' <<<"$added" | grep . | median) % to the download (median of the runs: $added%; target: at most 10 %)"
awk -v w="$peak_ws" -v g="$peak_growth" -v b="$bare_start" 'BEGIN {
  printf "updater peak working set: %.1f MB (target < 16 MB), of which %.1f MB added during the transfer\n", w / 1048576, g / 1048576
  printf "(any Wine process here starts at about %.1f MB: the bare program at its start)\n", b / 1048576 }'
echo "progress callback: $updates calls per transfer, ${callback_us} us each (last run)"
