#!/usr/bin/env bash
# Checks the shipped programs without running them: 32-bit (PE32, i386) Windows GUI programs
# that import only Windows system DLLs, within their size limits.
# Usage: tests/shipped/check-programs.sh BIN_DIR
set -uo pipefail
bin=$1
# Compared in lower case: the linker keeps the case of each import library's name.
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll shell32.dll user32.dll ws2_32.dll "
failed=0
fail() { echo "FAIL: $*"; failed=1; }

check() { # NAME SIZE_LIMIT
  local exe="$bin/$1" limit=$2 headers
  if ! headers=$(i686-w64-mingw32-objdump -p "$exe" 2>&1); then
    fail "$1: $headers"; return
  fi
  grep -q 'file format pei-i386' <<<"$headers" || fail "$1 is not a PE32 i386 program"
  grep -Eq '^Subsystem\s+0+2\s' <<<"$headers" || fail "$1 is not a Windows GUI program"
  local dll
  for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$headers"); do
    [[ "$system_dlls" == *" ${dll,,} "* ]] || fail "$1 imports $dll, which is not a Windows system DLL"
  done
  local size; size=$(stat -c %s "$exe")
  [ "$size" -lt "$limit" ] || fail "$1 is $size bytes, the limit is $limit"
  echo "$1: $size bytes, imports$(sed -n 's/^\s*DLL Name: / /p' <<<"$headers" | tr -d '\n')"
}

check QIMUpdate.exe 1048576
check QIM_InstallPlugins.exe 307200
exit $failed
