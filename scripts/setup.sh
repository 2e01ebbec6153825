#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
# Idempotent: each step is skipped when its product is already in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/.cache"
mkdir -p "$cache"
export DEBIAN_FRONTEND=noninteractive

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(g++-mingw-w64-i686 mingw-w64-tools cmake make wine wine32:i386 wine64
          xvfb xauth python3 zip dpkg-dev imagemagick nginx-light file googletest
          autoconf automake libtool python3-nacl)
# A machine that already has Node.js from elsewhere ships npm with it; Debian's npm would conflict.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  enable_deb_src
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Debian's curl source package is the libcurl we cross-build.
enable_deb_src() {
  local f=/etc/apt/sources.list.d/qim-deb-src.sources
  [ -f "$f" ] && return 0
  as_root tee "$f" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
}

build_libcurl() {
  local prefix="$cache/curl-i686"
  [ -f "$prefix/lib/libcurl.a" ] && return 0
  enable_deb_src
  local src="$cache/curl-src"
  rm -rf "$src" && mkdir -p "$src"
  if ! (cd "$src" && apt-get source -qq curl >/dev/null 2>&1); then
    as_root apt-get update -qq
    (cd "$src" && apt-get source -qq curl >/dev/null)
  fi
  local dir; dir=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n1)
  echo "setup: cross-building libcurl from $dir"
  local off=()
  for p in ldap ldaps rtsp dict telnet tftp pop3 imap smb smtp gopher mqtt ftp file manual docs; do
    off+=("--disable-$p")
  done
  (cd "$dir" && ./configure -q --host=i686-w64-mingw32 --prefix="$prefix" \
      --disable-shared --enable-static --with-schannel --without-zlib --without-brotli \
      --without-zstd --without-libpsl --without-libidn2 --without-nghttp2 "${off[@]}" \
      CC=i686-w64-mingw32-gcc-posix >/dev/null &&
    make -s -C lib -j"$(nproc)" >/dev/null && make -s -C lib install >/dev/null &&
    make -s -C include install >/dev/null)
  rm -rf "$src"
}

# Debian's libsodium source package checks the signatures of releases (Ed25519, SHA-256).
# Built for the MinGW toolchain HOST_TRIPLE into sodium-<cpu>, <cpu> as CMake names it.
build_libsodium() {
  local host=$1 cpu=${1%%-*}
  local prefix="$cache/sodium-$cpu"
  [ -f "$prefix/lib/libsodium.a" ] && return 0
  enable_deb_src
  local src="$cache/sodium-src-$cpu"
  rm -rf "$src" && mkdir -p "$src"
  if ! (cd "$src" && apt-get source -qq libsodium >/dev/null 2>&1); then
    as_root apt-get update -qq
    (cd "$src" && apt-get source -qq libsodium >/dev/null)
  fi
  local dir; dir=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n1)
  echo "setup: cross-building libsodium for $host from $dir"
  (cd "$dir" && ./autogen.sh -s >/dev/null 2>&1 &&
    ./configure -q --host="$host" --prefix="$prefix" --disable-shared --enable-static \
      CC="$host-gcc-posix" >/dev/null &&
    make -s -j"$(nproc)" >/dev/null 2>&1 && make -s install >/dev/null)
  rm -rf "$src"
}

# The real 7-Zip Windows build stands in for 7zG.exe in tests and the demo.
fetch_7zip() {
  local dest="$cache/7zip/7za.exe"
  [ -f "$dest" ] && return 0
  local tmp; tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent 7zip-bin@5.2.0 >/dev/null && tar xzf 7zip-bin-*.tgz)
  mkdir -p "$cache/7zip"
  cp "$tmp/package/win/ia32/7za.exe" "$dest"
  rm -rf "$tmp"
}

# A ready 32-bit and 64-bit Wine prefix; tests copy them instead of booting Wine each time.
make_prefix() {
  local arch=$1 dir="$cache/wine-template-$1"
  [ -f "$dir/.ready" ] && return 0
  rm -rf "$dir"
  echo "setup: creating $arch Wine prefix"
  WINEARCH=$arch WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wineboot -i </dev/null >/dev/null 2>&1
  WINEPREFIX="$dir" WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
    </dev/null >/dev/null 2>&1
  WINEPREFIX="$dir" wineserver -w
  touch "$dir/.ready"
}

install_packages
build_libcurl
build_libsodium i686-w64-mingw32
fetch_7zip
make_prefix win32
make_prefix win64
echo "setup: ready"
