#!/usr/bin/env bash
# Start-up benchmark: time from process start to a visible window, QIMUpdate.exe against a bare
# Win32 window program, both under the same Wine prefix; also the stripped size of the programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-15}
. "$root/scripts/modes.sh"
"$root/scripts/setup.sh" >/dev/null
mode=$(qim_main_mode)
"$root/scripts/build.sh" "$mode" >/dev/null
build=$(qim_build_dir "$root" "$mode")
. "$root/tests/wine-env.sh"
qim_start_env "$root" "$build" win32 "$build/bench-startup-env"

median() { sort -n | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.1f", m}'; }
timer="$build/bin/bench/startuptimer.exe"
bare=$(wine "$timer" "$build/bin/bench/barewindow.exe" bare_window "$runs" </dev/null 2>/dev/null | tr -d '\r' | median)
updater=$(wine "$timer" "$build/bin/QIMUpdate.exe" qim_update "$runs" </dev/null 2>/dev/null | tr -d '\r' | median)
echo "start-up to visible window, median of $runs runs:"
echo "  bare Win32 window program: $bare ms"
echo "  QIMUpdate.exe:             $updater ms"
awk -v a="$updater" -v b="$bare" 'BEGIN { printf "  ratio: %.2f (target: 1.5 or less)\n", a / b }'

echo "stripped sizes of the shipped 32-bit programs:"
shipped=$(qim_build_dir "$root" x86)
for exe in "$shipped/bin/QIMUpdate.exe" "$shipped/bin/QIM_InstallPlugins.exe"; do
  [ -f "$exe" ] || continue
  i686-w64-mingw32-strip -o "$build/stripped.exe" "$exe"
  printf '  %-24s %8d bytes (unstripped %d)\n' "$(basename "$exe")" \
    "$(stat -c %s "$build/stripped.exe")" "$(stat -c %s "$exe")"
  rm -f "$build/stripped.exe"
done
