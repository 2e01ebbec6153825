#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
# Idempotent: each step is skipped when its product is already in place.
# -E: a failure inside a function is reported with its step too.
set -Eeuo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/.cache"
mkdir -p "$cache"
export DEBIAN_FRONTEND=noninteractive
. "$root/scripts/modes.sh"

# Every failure names the step that failed and what to do about it.
step="starting" advice=""
# Said once, by the script itself, not again by each command substitution a failure passes through.
trap '[ "$BASHPID" != "$$" ] || echo "setup: failed while $step.${advice:+ $advice}" >&2' ERR

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools cmake make wine wine32:i386 wine64
          xvfb xauth python3 zip dpkg-dev imagemagick nginx-light file googletest
          autoconf automake libtool python3-nacl openssl zstd)
# A machine that already has Node.js from elsewhere ships npm with it; Debian's npm would conflict.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step="installing ${missing[*]}"
  advice="Check that apt-get can reach Debian's archive (apt-get update), then run this again."
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  enable_deb_src
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The machine's own apt sources: "URIS<tab>SIGNED-BY" of an enabled entry of TYPE (deb or
# deb-src) for SUITE (or written as "stable"), from one-line (*.list) and deb822 (*.sources)
# files, our own entry left out. Debian's own entry is preferred to a third-party one for the
# same release, whichever file comes first: the first entry that is Debian's (signed by Debian's
# archive keyring, or a mirror's /debian path) and carries the component main, else the first
# Debian one, else the first with main, else the first. With MIN_RANK 3 only Debian's own with
# main counts. A Signed-By that holds a key block keeps its lines, joined by "\n".
apt_entry() { # TYPE SUITE [MIN_RANK]
  local files=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$qim_deb_src" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v type="$1" -v suite="$2" -v need="${3:-0}" '
    BEGIN { rank = -1 }
    function suits(list) { return (" " list " ") ~ (" " suite " ") || (" " list " ") ~ / stable / }
    function take(where, signed_by, components,   r, debian) {
      debian = (" " where " ") ~ /\/debian\/? / || signed_by ~ /debian-archive-keyring/
      r = 2 * debian + ((" " components " ") ~ / main /)
      if (r > rank) { rank = r; best = where "\t" signed_by }
    }
    function flush() {
      if ((" " types " ") ~ (" " type " ") && suits(suites) && enabled != "no")
        take(uris, signed, components)
      types = suites = uris = signed = enabled = field = components = ""
    }
    FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
    deb822 && /^[ \t]*$/ { flush(); next }
    /^[ \t]*#/ { next }
    deb822 && /^[ \t]/ { if (field == "signed-by") signed = signed "\\n" $0; next }
    deb822 {
      field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", value)
      if (field == "types") types = value
      else if (field == "uris") uris = value
      else if (field == "suites") suites = value
      else if (field == "signed-by") signed = value
      else if (field == "enabled") enabled = tolower(value)
      else if (field == "components") components = value
      next
    }
    $1 == type {
      options = ""; n = 2
      if ($2 ~ /^\[/) { while (n <= NF && $n !~ /\]$/) { options = options " " $n; n++ } options = options " " $n; n++ }
      if (suits($(n + 1))) {
        line_signed = ""
        if (match(options, /signed-by=[^] ]+/)) line_signed = substr(options, RSTART + 10, RLENGTH - 10)
        line_components = ""
        for (c = n + 2; c <= NF; c++) line_components = line_components " " $c
        take($n, line_signed, line_components)
      }
    }
    END { flush(); if (rank >= need) print best }
' "${files[@]}"
}

# Debian's curl source package is the libcurl we cross-build: a deb-src entry from the same
# mirror (and key) as the machine's deb entries, unless it has Debian's own already.
qim_deb_src=/etc/apt/sources.list.d/qim-deb-src.sources
enable_deb_src() {
  local suite entry uris signed
  suite=$(. /etc/os-release 2>/dev/null; echo "${VERSION_CODENAME:-bookworm}")
  [ -z "$(apt_entry deb-src "$suite" 3)" ] || { as_root rm -f "$qim_deb_src"; return 0; }
  entry=$(apt_entry deb "$suite")
  [ -n "$entry" ] || { echo "setup: no deb entry for $suite in the apt sources" >&2; return 1; }
  IFS=$'\t' read -r uris signed <<<"$entry"
  local text aside=/etc/apt/qim-deb-src.sources.new
  text=$(printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$uris" "$suite"
         if [ -n "$signed" ]; then printf 'Signed-By: %b\n' "$signed"; fi)
  if [ -f "$qim_deb_src" ] && [ "$(cat "$qim_deb_src")" = "$text" ]; then return 0; fi
  echo "setup: deb-src entry for $suite from $uris"
  # Written aside and renamed: apt never reads half an entry.
  printf '%s\n' "$text" | as_root tee "$aside" >/dev/null
  as_root mv "$aside" "$qim_deb_src"
}

# fetch_source PACKAGE FOLDER: Debian's source package, unpacked afresh in FOLDER; prints where.
fetch_source() {
  local package=$1 src=$2
  enable_deb_src
  rm -rf "$src" && mkdir -p "$src"
  if ! (cd "$src" && apt-get source -qq "$package" >/dev/null 2>&1); then
    as_root apt-get update -qq
    (cd "$src" && apt-get source -qq "$package" >/dev/null)
  fi
  local dir; dir=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n1)
  [ -n "$dir" ] || { echo "setup: apt-get source $package left no $package-* folder in $src" >&2; return 1; }
  echo "$dir"
}

# build_libcurl CPU: i686 or x86_64, into .cache/curl-CPU.
build_libcurl() {
  local cpu=$1 prefix="$cache/curl-$1"
  [ -f "$prefix/lib/libcurl.a" ] && return 0
  step="cross-building libcurl for $cpu"
  advice="Remove $cache/curl-src and run this again; apt-get source curl needs the deb-src entry in /etc/apt/sources.list.d/qim-deb-src.sources."
  local src="$cache/curl-src" dir
  dir=$(fetch_source curl "$src")
  echo "setup: cross-building libcurl for $cpu from $dir"
  local off=()
  for p in ldap ldaps rtsp dict telnet tftp pop3 imap smb smtp gopher mqtt ftp file manual docs; do
    off+=("--disable-$p")
  done
  (cd "$dir" && ./configure -q --host="$cpu-w64-mingw32" --prefix="$prefix" \
      --disable-shared --enable-static --with-schannel --without-zlib --without-brotli \
      --without-zstd --without-libpsl --without-libidn2 --without-nghttp2 "${off[@]}" \
      CC="$cpu-w64-mingw32-gcc-posix" >/dev/null &&
    make -s -C lib -j"$(nproc)" >/dev/null && make -s -C lib install >/dev/null &&
    make -s -C include install >/dev/null)
  rm -rf "$src"
}

# Debian's libsodium source package checks the signatures of releases (Ed25519, BLAKE2b).
# Built for the MinGW toolchain HOST_TRIPLE into sodium-<cpu>, <cpu> as CMake names it.
# Its configure lets BLAKE2b pick the AVX2 code at run time only where _xgetbv() compiles,
# which MinGW's GCC allows with -mxsave; without it the hash runs at two thirds of the speed.
# The stamp file makes an older cached build be made again.
build_libsodium() {
  local host=$1 cpu=${1%%-*}
  local prefix="$cache/sodium-$cpu"
  [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/.avx2-at-run-time" ] && return 0
  rm -rf "$prefix"
  step="cross-building libsodium for $cpu"
  advice="Remove $cache/sodium-src-$cpu and run this again; apt-get source libsodium needs the deb-src entry in /etc/apt/sources.list.d/qim-deb-src.sources."
  local src="$cache/sodium-src-$cpu" dir
  dir=$(fetch_source libsodium "$src")
  echo "setup: cross-building libsodium for $host from $dir"
  (cd "$dir" && ./autogen.sh -s >/dev/null 2>&1 &&
    ./configure -q --host="$host" --prefix="$prefix" --disable-shared --enable-static \
      CC="$host-gcc-posix" CFLAGS="-O2 -mxsave" >/dev/null &&
    make -s -j"$(nproc)" >/dev/null 2>&1 && make -s install >/dev/null)
  touch "$prefix/.avx2-at-run-time"
  rm -rf "$src"
}

# Debian's libzstd source package rebuilds patched files in the updater: decompression only,
# built for HOST_TRIPLE into zstd-<cpu>.
build_libzstd() {
  local host=$1 cpu=${1%%-*}
  local prefix="$cache/zstd-$cpu"
  [ -f "$prefix/lib/libzstd.a" ] && return 0
  step="cross-building libzstd for $cpu"
  advice="Remove $cache/zstd-src-$cpu and run this again; apt-get source libzstd needs the deb-src entry in /etc/apt/sources.list.d/qim-deb-src.sources."
  local src="$cache/zstd-src-$cpu" dir
  dir=$(fetch_source libzstd "$src")
  echo "setup: cross-building libzstd for $host from $dir"
  make -s -C "$dir/lib" -j"$(nproc)" libzstd.a CC="$host-gcc-posix" AR="$host-ar" \
    ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 ZSTD_LEGACY_SUPPORT=0 \
    ZSTD_NO_ASM=1 ZSTD_MULTITHREAD_SUPPORT=0 >/dev/null
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$dir/lib/libzstd.a" "$prefix/lib/"
  cp "$dir/lib/zstd.h" "$dir/lib/zstd_errors.h" "$prefix/include/"
  rm -rf "$src"
}

# The real 7-Zip Windows build stands in for 7zG.exe in tests and the demo: the 32-bit one in
# .cache/7zip, the 64-bit one in .cache/7zip/x64.
fetch_7zip() {
  [ -f "$cache/7zip/7za.exe" ] && [ -f "$cache/7zip/x64/7za.exe" ] && return 0
  step="fetching 7-Zip from the npm package 7zip-bin"
  advice="Check that npm can reach its registry (npm view 7zip-bin), then run this again."
  local tmp; tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent 7zip-bin@5.2.0 >/dev/null && tar xzf 7zip-bin-*.tgz)
  mkdir -p "$cache/7zip/x64"
  cp "$tmp/package/win/ia32/7za.exe" "$cache/7zip/7za.exe"
  cp "$tmp/package/win/x64/7za.exe" "$cache/7zip/x64/7za.exe"
  rm -rf "$tmp"
}

# A ready 32-bit and 64-bit Wine prefix; tests copy them instead of booting Wine each time.
# Where 32-bit programs cannot run, the 64-bit prefix is made through Wine's 64-bit loader.
make_prefix() {
  local arch=$1 dir="$cache/wine-template-$1" log="$cache/wine-template-$1.log"
  [ -f "$dir/.ready" ] && return 0
  rm -rf "$dir"
  step="creating the $arch Wine prefix"
  advice="Wine's own messages are in $log."
  echo "setup: creating $arch Wine prefix"
  (
    [ "$arch" = win64 ] && ! qim_runs_32bit && qim_use_wine64 "$root"
    export WINEARCH=$arch WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineboot -i </dev/null >"$log" 2>&1 || true
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >>"$log" 2>&1
    wineserver -w
  )
  # wineboot reports harmless errors too: the prefix is judged by what it wrote.
  grep -q 'X11 Driver' "$dir/user.reg"
  touch "$dir/.ready"
}

install_packages
step="choosing the test modes" advice=""
modes=$(qim_modes)
if qim_runs_32bit; then
  echo "setup: this machine runs 32-bit x86 programs; test modes: $(echo $modes)"
else
  echo "setup: this machine cannot run 32-bit x86 programs (/lib/ld-linux.so.2 does not start); test modes: $(echo $modes) (64-bit builds in a 64-bit Wine prefix)"
fi
# The shipped 32-bit programs are built, and checked without running them, in every mode.
build_libcurl i686
build_libsodium i686-w64-mingw32
build_libzstd i686-w64-mingw32
if grep -qx x64 <<<"$modes"; then
  build_libcurl x86_64
  build_libsodium x86_64-w64-mingw32
  build_libzstd x86_64-w64-mingw32
fi
fetch_7zip
grep -qx x86 <<<"$modes" && make_prefix win32
make_prefix win64
echo "setup: ready"
