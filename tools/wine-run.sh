#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, headless: wine-run.sh PROGRAM.exe [ARGS...]
# (CMake's CMAKE_CROSSCOMPILING_EMULATOR of the Windows cross build, so ctest runs the test
# programs through it).
#
# The Wine prefix is WINEPREFIX when set, else wine-prefix/ in the build folder that holds the
# program (the folder with CMakeCache.txt above it), made on first use with wineboot. The
# MinGW runtime DLLs (libstdc++, libgcc, libwinpthread) are found through WINEPATH, so the
# programs run where they were built.
#
# PROBRIX_WINE_COM="com5=/dev/pts/3 com6=/tmp/sim/ttySIM1" maps Wine COM ports onto devices
# (pseudo terminals of the simulator) before the program starts.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ]; then
  echo "wine-run.sh: wine64 is not installed (Debian package wine64)" >&2
  exit 127
fi

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ "$dir" = / ]; then
    echo "wine-run.sh: no build folder above $1; set WINEPREFIX" >&2
    exit 2
  fi
  export WINEPREFIX="$dir/wine-prefix"
fi
# No window system and no messages from Wine itself; no Mono or Gecko installers either, and no
# debugger that a crashing program (a test of the crash capture) would wait for.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winedbg.exe=}

# One wineboot per prefix, also when ctest starts several programs at once.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      "$wineserver" -w
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-run.sh: wineboot did not set up $WINEPREFIX" >&2
        exit 1
      fi
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The folders of the MinGW runtime DLLs as Windows paths (drive Z: is the Linux root).
winepath=""
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll" 2>/dev/null || true)
  case "$found" in /*) ;; *) continue ;; esac
  folder="Z:$(dirname "$found" | tr / '\\')"
  case ";$winepath;" in *";$folder;"*) ;; *) winepath+="${winepath:+;}$folder" ;; esac
done
export WINEPATH="${WINEPATH:+$WINEPATH;}$winepath"

# The Wine server is started here, quietly: Debian's server lists every object it holds on its
# standard error when it ends, which would land in the output of the program that started it.
# It stays a few seconds after the last program, so consecutive test programs share it.
"$wineserver" -p"${PROBRIX_WINESERVER_LINGER:-5}" 2>/dev/null || true

for mapping in ${PROBRIX_WINE_COM:-}; do
  name=${mapping%%=*}
  target=${mapping#*=}
  ln -sfn "$target" "$WINEPREFIX/dosdevices/${name,,}"
done

exec "$wine" "$@"
