# Sourced by the set-up, test, demo and benchmark scripts: which test modes this machine runs.
#   x86  the shipped 32-bit build, in a 32-bit Wine prefix (and its prefix64 tests in a 64-bit one)
#   x64  the same sources built for x86_64, in a 64-bit prefix through Wine's 64-bit loader
# Some x86-64 kernels cannot execute 32-bit programs at all; there only x64 can run.
# QIM_TEST_ARCH=x86 or x64 forces one mode; unset (or auto), every mode the machine can run.

qim_runs_32bit() {
  [ -e /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# Prints the modes to run, one a line, in order; fails with a reason on a mode the machine lacks.
qim_modes() {
  case "${QIM_TEST_ARCH:-auto}" in
    x64) echo x64 ;;
    x86)
      if ! qim_runs_32bit; then
        echo "QIM_TEST_ARCH=x86, but this machine cannot execute 32-bit x86 programs; use x64" >&2
        return 1
      fi
      echo x86 ;;
    auto | "")
      if qim_runs_32bit; then echo x86; fi
      echo x64 ;;
    *) echo "QIM_TEST_ARCH must be x86, x64 or auto, not '$QIM_TEST_ARCH'" >&2; return 1 ;;
  esac
}

# The mode of the demo and the benchmarks: the shipped 32-bit build where the machine runs it.
qim_main_mode() {
  case "${QIM_TEST_ARCH:-auto}" in
    x64) echo x64 ;;
    *) if qim_runs_32bit; then echo x86; else echo x64; fi ;;
  esac
}

# The build folder of a mode.
qim_build_dir() {
  local root=$1 mode=$2 base=${QIM_BUILD_DIR:-build}
  if [ "$mode" = x64 ]; then echo "$root/$base-x64"; else echo "$root/$base"; fi
}

# Wine's 64-bit loader, called directly: Debian's wine wrapper picks the 32-bit loader whenever
# wine32 is installed, and that loader cannot start where 32-bit programs cannot run.
qim_use_wine64() {
  local root=$1 bin="$1/.cache/wine64-bin"
  if [ ! -x "$bin/wine" ]; then
    mkdir -p "$bin"
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$bin/wine"
    chmod +x "$bin/wine"
  fi
  export PATH="$bin:$PATH" WINELOADER=/usr/lib/wine/wine64
}

# The mode of a configured build folder.
qim_build_mode() {
  if grep -qx 'QIM_TARGET_CPU:INTERNAL=x86_64' "$1/CMakeCache.txt"; then echo x64; else echo x86; fi
}

# A line that says what a mode is.
qim_describe_mode() {
  if [ "$1" = x64 ]; then
    echo "mode x64: the programs built for x86_64"
  else
    echo "mode x86: the shipped 32-bit programs"
  fi
}
