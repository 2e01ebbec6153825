#!/usr/bin/env bash
# Prints the plug-in installer's size stripped (target: under 300 KB) and the DLLs it imports
# (target: Windows system DLLs only). Usage: tests/plugins/size.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
exe="$build/bin/QIM_InstallPlugins.exe"
stripped=$(mktemp --suffix=.exe)
trap 'rm -f "$stripped"' EXIT
i686-w64-mingw32-strip -o "$stripped" "$exe"
echo "QIM_InstallPlugins.exe: $(stat -c %s "$exe") bytes as built, $(stat -c %s "$stripped") bytes stripped (target < 307200)"
echo "imports: $(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
