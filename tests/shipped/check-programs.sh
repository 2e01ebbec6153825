#!/usr/bin/env bash
# Checks the shipped programs without running them: 32-bit (PE32, i386) Windows GUI programs
# within their size limits that import only functions of Windows system DLLs which Windows Vista
# has (vista-imports.txt beside this script), and which release key QIMUpdate.exe trusts: a
# build that carries none fails unless it was made without one on purpose.
# Usage: tests/shipped/check-programs.sh BIN_DIR
set -uo pipefail
bin=$1
allowed="$(dirname "$0")/vista-imports.txt"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# "dll!function" per imported function, the DLL in lower case; "dll!#n" for an ordinal.
imports() {
  awk '/DLL Name:/ { dll = tolower($3); next }
       dll && /^\t[0-9a-f]+\t/ { print dll "!" ($3 != "" ? $3 : "#" $2); next }
       dll && NF == 0 { dll = "" }' <<<"$1"
}

check() { # NAME SIZE_LIMIT
  local exe="$bin/$1" limit=$2 headers
  if ! headers=$(i686-w64-mingw32-objdump -p "$exe" 2>&1); then
    fail "$1: $headers"; return
  fi
  grep -q 'file format pei-i386' <<<"$headers" || fail "$1 is not a PE32 i386 program"
  grep -Eq '^Subsystem\s+0+2\s' <<<"$headers" || fail "$1 is not a Windows GUI program"
  local list; list=$(imports "$headers")
  [ -n "$list" ] || fail "$1: no imports found"
  local unknown; unknown=$(grep -vxF -f <(grep -v '^#' "$allowed") <<<"$list")
  [ -z "$unknown" ] || fail "$1 imports what is not known to exist on Windows Vista:" $unknown
  local size; size=$(stat -c %s "$exe")
  [ "$size" -lt "$limit" ] || fail "$1 is $size bytes, the limit is $limit"
  echo "$1: $size bytes, $(wc -l <<<"$list") imports from$(sed -n 's/^\s*DLL Name: / /p' <<<"$headers" | tr -d '\n')"
}

release_key() { # the record releasesignature.cpp keeps in the program
  local record
  record=$(grep -a -o -m 1 'qim-release-key:[ -~]*' "$bin/QIMUpdate.exe" | head -n 1)
  local cache; cache="$(dirname "$0")/../../.cache"
  case "$record" in
    qim-release-key:none,*)
      echo "QIMUpdate.exe: built without a release key on purpose (QIM_ALLOW_UNSIGNED_UPDATES): it installs unsigned updates" ;;
    qim-release-key:*)
      local key=${record#qim-release-key:} marked=""
      if [[ $key == *" development key: do not distribute" ]]; then
        key=${key%" development key: do not distribute"}; marked=1
      fi
      [[ $key =~ ^[0-9a-fA-F]{64}$ ]] || { fail "QIMUpdate.exe: a malformed release key '$key'"; return; }
      # The development and tests' keys, labelled or as an older keygen wrote them.
      local local_keys; local_keys=$(cat "$cache"/{dev-release-key,release-key}/public.key 2>/dev/null |
        sed 's/^qim-release-public-key-1 //')
      # The line to compare with what publish-release prints when it signs.
      echo "QIMUpdate.exe trusts the release key qim-release-public-key-1 $key"
      if [ -n "$marked" ] || grep -qixF -- "$key" <<<"$local_keys"; then
        echo "QIMUpdate.exe: development key: do not distribute"
      fi ;;
    *) fail "QIMUpdate.exe carries no release key and was not built unsigned on purpose" ;;
  esac
}

check QIMUpdate.exe 1048576
release_key
check QIM_InstallPlugins.exe 307200
exit $failed
