#!/usr/bin/env bash
# The Windows stage of ./test: cross-builds the engine, probrix-cli.exe and the Windows test
# programs with MinGW-w64, runs the test programs under Wine, lets the Windows probrix-cli.exe
# find the demo devices of a Linux simulator (the Modbus TCP units over loopback, the serial
# devices through Wine COM ports mapped onto the simulator's pseudo terminals), checks the
# result log it writes beside itself, and makes the zip (tools/package-windows.sh).
#
#   tools/wine-check.sh BUILD DEVSIM [CMAKE_OPTIONS...]
#
# BUILD is the Windows build folder (its Wine prefix is BUILD/wine-prefix, made on first use),
# DEVSIM a Linux probrix-devsim.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$1
devsim=$(realpath "$2")
shift 2

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DPROBRIX_BUILD_GUI=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"

export WINEPREFIX="$root/$build/wine-prefix"
echo "--- unit tests under Wine"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure

echo "--- probrix-cli.exe against the Linux simulator"
demo="$root/$build/wine-demo"
rm -rf "$demo"
mkdir -p "$demo"
"$devsim" --demo --dir "$demo/ports" --out "$demo/devsim.out" >/dev/null 2>"$demo/devsim.err" &
sim_pid=$!
trap 'kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  if [ -f "$demo/devsim.out" ] && grep -qx ready "$demo/devsim.out"; then break; fi
  kill -0 "$sim_pid" 2>/dev/null || { cat "$demo/devsim.err" >&2; exit 1; }
  sleep 0.1
done
grep -qx ready "$demo/devsim.out" || { echo "the simulator did not start" >&2; exit 1; }
mapfile -t ports < <(sed -n 's/^port //p' "$demo/devsim.out")
endpoint=$(sed -n 's/^tcp //p' "$demo/devsim.out" | head -n 1)

# COM41 and COM42 lead to the simulator's two pseudo terminals. Numbers above those that Wine
# gives the computer's own serial devices (com1 and up), and above COM9, which opens only by
# its device path (\\.\COM41).
# Wine reads a line's settings through the classic speed codes of termios; the simulator's
# terminals start with none (speed 0), which Wine's GetCommState refuses ("invalid parameter"),
# so they get one first. The Windows program then sets its own.
pty0=$(readlink -f "${ports[0]}")
pty1=$(readlink -f "${ports[1]}")
stty -F "$pty0" 9600
stty -F "$pty1" 9600
export PROBRIX_WINE_COM="com41=$pty0 com42=$pty1"
cli_dir="$root/$build/src/cli"
rm -rf "$cli_dir/Logs"
set +e
tools/wine-run.sh "$cli_dir/probrix-cli.exe" --port COM41 --port COM42 --tcp "$endpoint" \
  --baud 9600 --protocols orvatbus,modbusrtu,orvatascii,modbustcp --orvatbus-addresses 2,7 \
  --modbus-addresses 1,5,17 --timeout 100 --json >"$demo/cli.json" 2>"$demo/cli.err"
status=$?
set -e
failed=0
check() {  # check WHAT COMMAND...: runs COMMAND, reports WHAT when it fails
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failed=1
  fi
}
found() { grep -F '"event":"found"' "$demo/cli.json" | grep -F "$1" | grep -qF "$2"; }
check "exit status 0 (found), got $status" test "$status" = 0
check "Orvatbus R221L9 at 2 on COM41" found '"connection":"COM41"' '"deviceType":"R221L9"'
check "Orvatbus R3375 at 7 on COM41" found '"connection":"COM41"' '"deviceType":"R3375"'
check "Modbus RTU R4748 at 17 on COM41" found '"connection":"COM41"' '"deviceType":"R4748"'
check "OrvatASCII device 65 on COM42" found '"connection":"COM42"' '"address":65'
check "Modbus TCP unit 1 (R7391)" found '"connectionType":"tcp"' '"deviceType":"R7391"'
check "Modbus TCP unit 5 (R3329)" found '"connectionType":"tcp"' '"deviceType":"R3329"'

# The result log lies beside the program (Logs\YYYY_MM_DD\), in Windows-1251 with CR LF.
mapfile -t logs < <(find "$cli_dir/Logs" -name '*__результаты_поиска.log' 2>/dev/null)
check "one result log beside probrix-cli.exe, got ${#logs[@]}" test "${#logs[@]}" = 1
if [ "${#logs[@]}" = 1 ]; then
  log=${logs[0]}
  check "the result log is in Windows-1251 ('прибор найден')" \
    grep -q "$(printf 'прибор найден' | iconv -f utf-8 -t cp1251)" "$log"
  check "the result log's lines end with CR LF" \
    test "$(grep -c $'\r$' "$log")" = "$(wc -l <"$log")" -a "$(wc -l <"$log")" -gt 0
fi
if [ "$failed" != 0 ]; then
  echo "--- probrix-cli.exe output:" >&2
  grep -F '"event":"found"' "$demo/cli.json" >&2 || true
  tail -n 5 "$demo/cli.json" "$demo/cli.err" >&2
  exit 1
fi
echo "probrix-cli.exe found the six demo devices; result log ${logs[0]#"$root/"}"

echo "--- zip"
zip_file=$(tools/package-windows.sh "$build")
listing=$(zip -sf "$zip_file")
for member in probrix-cli.exe libstdc++-6.dll libwinpthread-1.dll README.md CHANGELOG.md \
              LICENSE; do
  grep -q "/$member\$" <<<"$listing" || { echo "FAILED: $member not in $zip_file" >&2; exit 1; }
done
echo "made ${zip_file#"$root/"}"
