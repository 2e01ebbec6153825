# Sourced by the test runner, the demo and the benchmarks: a fresh copy of a ready Wine prefix
# with its own virtual X server, its own wineserver and the loopback test update server.
# qim_start_env ROOT BUILD ARCH WORK  sets WINEPREFIX, DISPLAY, QIM_TEST_WEBROOT(_UNIX) and
# installs an EXIT trap that stops everything it started. A 64-bit build runs through Wine's
# 64-bit loader, so that it runs on machines that cannot execute 32-bit programs too.

# shellcheck source=../scripts/modes.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/modes.sh"

qim_env_pids=()

# The wineserver must be gone before this returns: the next run's fresh prefix may get the
# same inode, and so the same server socket, as this one.
qim_stop_env() {
  wineserver -k 2>/dev/null || true
  timeout 30 wineserver -w 2>/dev/null || true
  for pid in "${qim_env_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

# The prefix states its Internet Options: a direct connection. Without this record WinHTTP
# reports automatic proxy detection, as for a new Windows profile, and the updater would look
# for a proxy before every transfer. Appended to the copy's user.reg before Wine reads it.
qim_direct_internet_options() {
  printf '\n%s\n%s\n' \
    '[Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections] 1700000000' \
    '"DefaultConnectionSettings"=hex:46,00,00,00,00,00,00,00,01,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00' \
    >>"$1/user.reg"
}

# A program that crashes ends at once instead of waiting, with Wine's crash dialog, for a click
# that no one in a headless run gives.
qim_no_crash_dialog() {
  printf '\n%s\n%s\n' '[Software\\Wine\\WineDbg] 1700000000' '"ShowCrashDialog"=dword:00000000' \
    >>"$1/user.reg"
}

qim_start_env() {
  local root=$1 build=$2 arch=$3 work=$4
  local port
  port=$(sed -n 's/^QIM_TEST_SERVER_PORT:STRING=//p' "$build/CMakeCache.txt")
  # A 64-bit build runs only in a 64-bit prefix.
  if [ "$(qim_build_mode "$build")" = x64 ]; then
    arch=win64
    qim_use_wine64 "$root"
  fi
  echo "$(qim_describe_mode "$(qim_build_mode "$build")") ($arch prefix)"
  rm -rf "$work"
  mkdir -p "$work/webroot"
  cp -a "$root/.cache/wine-template-$arch" "$work/prefix"
  qim_direct_internet_options "$work/prefix"
  qim_no_crash_dialog "$work/prefix"

  export WINEPREFIX="$work/prefix" WINEARCH="$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export QIM_TEST_WEBROOT="Z:$(printf '%s' "$work/webroot" | tr / '\\')"
  export QIM_TEST_WEBROOT_UNIX="$work/webroot"
  trap qim_stop_env EXIT

  # QIM_VISIBLE=1 keeps the caller's display, so a person can watch; otherwise Xvfb picks a
  # free display itself, so parallel runs never share one.
  if [ "${QIM_VISIBLE:-0}" != 1 ] || [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    qim_env_pids+=($!)
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$work/display")"
  fi

  # A left-over server on the port would answer in our stead with another web root.
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "wine-env: 127.0.0.1:$port is already taken; stop what listens there (ss -ltnp)" >&2
    return 1
  fi
  # HTTPS beside it on the next six ports: a good certificate, one for another host name, one
  # from an authority nobody trusts, one issued by an intermediate, an expired one and one for
  # client authentication only (made fresh for this run).
  "$root/tests/server/makecerts.sh" "$work/tls"
  python3 "$root/tests/server/testserver.py" --port "$port" --root "$work/webroot" \
    --tls $((port + 1)) "$work/tls/good.pem" "$work/tls/server.key" \
    --tls $((port + 2)) "$work/tls/wronghost.pem" "$work/tls/server.key" \
    --tls $((port + 3)) "$work/tls/unknown.pem" "$work/tls/server.key" \
    --tls $((port + 4)) "$work/tls/chained.pem" "$work/tls/server.key" \
    --tls $((port + 5)) "$work/tls/expired.pem" "$work/tls/server.key" \
    --tls $((port + 6)) "$work/tls/otherpurpose.pem" "$work/tls/server.key" \
    >"$work/server.log" 2>&1 &
  local server=$!
  qim_env_pids+=($server)
  # Our own server must be the one answering: a left-over one would serve another web root.
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
  if ! kill -0 "$server" 2>/dev/null; then
    echo "wine-env: the test server could not listen on 127.0.0.1:$port (see $work/server.log)" >&2
    return 1
  fi

  # One wineserver for the whole run; Wine's services inherit the first process's output,
  # so that process must not hold a caller's pipe.
  wineserver -p
  wine "$build/bin/fixtures/idle.exe" </dev/null >/dev/null 2>&1 &
  qim_env_pids+=($!)
  # This prefix (never the machine) trusts the test authority.
  if [ -f "$build/bin/fixtures/trustroot.exe" ]; then
    wine "$build/bin/fixtures/trustroot.exe" "Z:$(printf '%s' "$work/tls/ca.der" | tr / '\\')" </dev/null ||
      echo "wine-env: the test prefix does not trust the test authority" >&2
  fi
  # Let Wine finish starting its services before the first timed test program.
  timeout 120 wine cmd.exe /c ver </dev/null >/dev/null 2>&1 || true
}
