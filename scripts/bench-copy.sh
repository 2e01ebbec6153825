#!/usr/bin/env bash
# Copy benchmark: the installation's copyTree with and without its safety net against a bare
# CopyFileA walk, under Wine.
#
# Usage: scripts/bench-copy.sh [BUILD_DIR] [FILES] [TOTAL_MB]   (defaults: the build of the mode this machine runs (build/ or build-x64/), 2000, 200)
#
# Writes a nested tree of FILES files, TOTAL_MB MiB in all (20 top directories, each with 5
# subdirectories, files spread over all of them), into a fresh Wine prefix with its own X server
# (tests/wine-env.sh), then copies it with bench_copy.exe five times (QIM_BENCH_RUNS) in each mode, alternating,
# over a destination that holds the same tree already (an update replaces every file; the
# destination is prepared and synced to disk before the clock starts, as an installation is):
#   copytree  copyTree on a worker thread, "Copied %d of %d files." and the progress bar set
#             after every file in a shown window served by the GUI thread, as in QIMUpdate
#   safe      the same copy with the installation's safety net: the journal, each replaced file
#             renamed aside, the new files placed whole; timed to the result (every file placed,
#             where the installation shows it), to the commit mark (the flush and the mark made
#             durable) and to the end of the clean-up (the kept files removed)
#   perfile   safe with QIM_NO_VOLUME_FLUSH set: each placed file is flushed instead of the
#             volume, as on a network drive or where the volume may not be opened (safe says
#             which of the two it took on this machine, and how many files were written ahead
#             beside the copy)
#   bare      a recursive FindFirstFileA/CopyFileA walk without any window update
# Prints files/s and MB/s per run (1 MB = 1048576 bytes), the median of each mode and the
# ratio copytree/bare (target: 85 % or more), what the safety net adds to copytree's time until
# the result (target: 15 % or less) and until the commit mark and the end of the clean-up, the
# medians of those three times (for safe and perfile each), and the share of copyTree's time that its per-file
# status updates take (their count times the cost of one update, measured right after the copy
# in the same window). QIM_BENCH_MODES narrows the modes (default "copytree safe perfile bare"; silent
# is copyTree without a window). Figures only: nothing here fails on them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/modes.sh"
build=$(cd "${1:-$(qim_build_dir "$root" "$(qim_main_mode)")}" && pwd)
files=${2:-2000}
total_mb=${3:-200}
helper="$build/bin/bench/bench_copy.exe"
[ -f "$helper" ] || { echo "build first: $helper is missing" >&2; exit 1; }

# shellcheck source=../tests/wine-env.sh
. "$root/tests/wine-env.sh"
work="$build/bench-copy"
qim_start_env "$root" "$build" win32 "$work"
drive_c="$WINEPREFIX/drive_c"

echo "Preparing $files files, $total_mb MiB, in nested directories..."
python3 - "$drive_c/benchcopy/src" "$files" "$total_mb" <<'PY'
import os, sys
root, files, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) * 1048576
dirs = [os.path.join(root, "top%02d" % t, "sub%d" % s) for t in range(20) for s in range(5)]
dirs += [os.path.join(root, "top%02d" % t) for t in range(20)]
block = os.urandom(1048576)
size, extra = divmod(total, files)
for i in range(files):
    path = os.path.join(dirs[i % len(dirs)], "file%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    want = size + (extra if i == files - 1 else 0)
    with open(path, "wb") as out:
        offset = (i * 7919) % 1048576
        while want > 0:
            piece = block[offset:offset + want]
            out.write(piece)
            want -= len(piece)
            offset = 0
PY

field() { sed -n "s/.*$1=\\([^ ]*\\).*/\\1/p"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A fps mbps commits cleanups
modes=${QIM_BENCH_MODES:-copytree safe perfile bare}
updates=""
tree_seconds=""
for run in $(seq 1 "${QIM_BENCH_RUNS:-5}"); do
  for mode in $modes; do
    rm -rf "$drive_c/benchcopy/dst"
    cp -a "$drive_c/benchcopy/src" "$drive_c/benchcopy/dst"
    sync
    refuse=""
    helper_mode=$mode
    if [ "$mode" = perfile ]; then refuse=1 helper_mode=safe; fi
    out=$(env ${refuse:+QIM_NO_VOLUME_FLUSH=1} wine "$helper" "$helper_mode" 'C:\benchcopy\dst' 'C:\benchcopy\src' 2>&1 |
      tr -d '\r') || true
    line=$(printf '%s\n' "$out" |
      grep '^mode=') || { echo "run $run ($mode) failed: $out" >&2; exit 1; }
    [ "$(field ok <<<"$line")" = 1 ] || { echo "run $run ($mode) did not copy: $line" >&2; exit 1; }
    copied=$(field files <<<"$line")
    bytes=$(field bytes <<<"$line")
    seconds=$(field seconds <<<"$line")
    f=$(awk -v n="$copied" -v s="$seconds" 'BEGIN { printf "%.1f", n / s }')
    m=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%.1f", b / 1048576 / s }')
    if [ "$mode" = copytree ]; then
      update_us=$(field update_us <<<"$line")
      updates+="$(awk -v u="$update_us" -v n="$copied" -v s="$seconds" \
        'BEGIN { printf "%.0f", 100 * u * n / 1e6 / s }') "
    fi
    if [ "$mode" = copytree ]; then tree_seconds+="$seconds "; fi
    if [ "$mode" = safe ] || [ "$mode" = perfile ]; then
      commits[$mode]+="$(field commit <<<"$line") "
      cleanups[$mode]+="$(field cleanup <<<"$line") "
      printf 'run %d %s (flush: %s, %s files written ahead): %.3f s to the result, %.3f s to the commit mark, %.3f s to the end of the clean-up\n' \
        "$run" "$mode" "$(field flush <<<"$line")" "$(field prepared <<<"$line")" "$seconds" "$(field commit <<<"$line")" "$(field cleanup <<<"$line")"
    fi
    fps[$mode]+="$f "
    mbps[$mode]+="$m "
    printf 'run %d %-8s %5d files %8.1f MB in %7.3f s: %8.1f files/s %7.1f MB/s\n' \
      "$run" "$mode" "$copied" "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')" "$seconds" "$f" "$m"
  done
done
rm -rf "$drive_c/benchcopy"

for mode in $modes; do
  printf 'median %-8s %8.1f files/s %7.1f MB/s\n' "$mode" \
    "$(tr ' ' '\n' <<<"${fps[$mode]}" | grep . | median)" \
    "$(tr ' ' '\n' <<<"${mbps[$mode]}" | grep . | median)"
done
if [ -n "${mbps[copytree]:-}" ] && [ -n "${mbps[bare]:-}" ]; then
  tree_m=$(tr ' ' '\n' <<<"${mbps[copytree]}" | grep . | median)
  bare_m=$(tr ' ' '\n' <<<"${mbps[bare]}" | grep . | median)
  echo "share of copytree's time in its per-file status updates: $(tr ' ' '\n' <<<"$updates" | grep . | median) %"
  awk -v t="$tree_m" -v b="$bare_m" 'BEGIN { printf "ratio copytree/bare: %.1f %% (target: 85 %% or more)\n", 100 * t / b }'
fi
for mode in safe perfile; do
  [ -n "${mbps[copytree]:-}" ] && [ -n "${mbps[$mode]:-}" ] || continue
  tree_m=$(tr ' ' '\n' <<<"${mbps[copytree]}" | grep . | median)
  safe_m=$(tr ' ' '\n' <<<"${mbps[$mode]}" | grep . | median)
  awk -v m="$mode" -v t="$tree_m" -v s="$safe_m" 'BEGIN { printf "%s: the safety net adds %.1f %% to the time until the result (target: 15 %% or less)\n", m, 100 * (t / s - 1) }'
  tree_s=$(tr ' ' '\n' <<<"$tree_seconds" | grep . | median)
  commit_s=$(tr ' ' '\n' <<<"${commits[$mode]}" | grep . | median)
  cleanup_s=$(tr ' ' '\n' <<<"${cleanups[$mode]}" | grep . | median)
  echo "$mode: median to the commit mark $commit_s s, to the end of the clean-up $cleanup_s s (copytree $tree_s s)"
  awk -v m="$mode" -v t="$tree_s" -v c="$commit_s" -v e="$cleanup_s" 'BEGIN { printf "%s: the safety net adds %.1f %% until the commit mark, %.1f %% until the end of the clean-up\n", m, 100 * (c / t - 1), 100 * (e / t - 1) }'
done
