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

echo "--- probrix-cli.exe: Cyrillic folders, a folder it cannot write, console text"
# One Modbus TCP unit is enough for a result log. Each run starts in a folder of its own, where
# a name read in the wrong code page would leave a stray folder.
unicode="$demo/unicode"
mkdir -p "$unicode"
search=(--tcp "$endpoint" --protocols modbustcp --modbus-addresses 1 --timeout 100)
windows_path() { printf 'Z:%s' "$(tr / '\\' <<<"$1")"; }
result_logs() { find "$1" -name '*__результаты_поиска.log' 2>/dev/null | wc -l; }
entries() { (cd "$1" && LC_ALL=C ls -A | tr '\n' ' '); }

# The program in a Cyrillic folder, its output redirected (UTF-8 bytes): the result log in its
# own Logs\, nothing else beside it.
program="$unicode/Программа"
mkdir -p "$program"
cp "$cli_dir/probrix-cli.exe" "$program/"
(cd "$unicode" && "$root/tools/wine-run.sh" "$program/probrix-cli.exe" "${search[@]}" \
  >"$demo/cyrillic.out" 2>"$demo/cyrillic.err") || true
check "a result log in Программа\\Logs" test "$(result_logs "$program/Logs")" = 1
check "nothing else beside the program: $(entries "$program")" \
  test "$(entries "$program")" = "Logs probrix-cli.exe "
check "redirected output in UTF-8 ('прибор найден')" grep -q 'прибор найден' "$demo/cyrillic.out"

# A Cyrillic --log-dir on a console (a pseudo terminal of script(1), where Wine makes one): the
# text goes through WriteConsoleW and reads right on the terminal.
logdir="$unicode/Логи"
cat >"$demo/console.sh" <<RUN
cd "$unicode" && exec "$root/tools/wine-run.sh" "$cli_dir/probrix-cli.exe" ${search[*]} \
  --log-dir '$(windows_path "$logdir")'
RUN
script -qec "bash '$demo/console.sh'" /dev/null </dev/null >"$demo/console.out" 2>&1 || true
check "the result log in the --log-dir Логи" test "$(result_logs "$logdir")" = 1
check "no stray folder beside the others: $(entries "$unicode")" \
  test "$(entries "$unicode")" = "Логи Программа "
# Wine draws its console with control sequences, cursor moves between the words among them.
check "console text in UTF-8 on the terminal ('прибор найден')" \
  grep -q 'прибор' <(sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' "$demo/console.out")

# A program folder that cannot be written (as under Program Files): settings and logs go to
# %LOCALAPPDATA%\Probrix. Root writes anywhere, so for root the folder is a read-only mount in
# a mount namespace of its own, where the Wine server (which opens the files) is started anew;
# where root may not make one (a container without CAP_SYS_ADMIN) the check is left to the unit
# test of the logging facility (WinLogging).
readonly_dir="$unicode/ReadOnly"
mkdir -p "$readonly_dir"
cp "$cli_dir/probrix-cli.exe" "$readonly_dir/"
local_appdata="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Local"
rm -rf "${local_appdata:?}/Probrix"
run_readonly=("$root/tools/wine-run.sh" "$readonly_dir/probrix-cli.exe" "${search[@]}")
if [ "$(id -u)" != 0 ]; then
  chmod a-w "$readonly_dir"
elif unshare -m sh -c 'mount --bind "$0" "$0"' "$readonly_dir" 2>/dev/null; then
  "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k 2>/dev/null || true
  run_readonly=(unshare -m sh -c 'mount --bind "$0" "$0" && mount -o remount,ro,bind "$0" "$0" &&
    exec "$@"' "$readonly_dir" "${run_readonly[@]}")
else
  echo "note: no read-only mount for root here; the %LOCALAPPDATA% run is skipped"
  run_readonly=()
fi
if [ ${#run_readonly[@]} -gt 0 ]; then
  "${run_readonly[@]}" >"$demo/readonly.out" 2>"$demo/readonly.err" || true
  chmod u+w "$readonly_dir"
  check "the result log in %LOCALAPPDATA%\\Probrix\\Logs" \
    test "$(result_logs "$local_appdata/Probrix/Logs")" = 1
  check "nothing beside the program: $(entries "$readonly_dir")" \
    test "$(entries "$readonly_dir")" = "probrix-cli.exe "
fi
if [ "$failed" != 0 ]; then
  tail -n 5 "$demo/cyrillic.err" "$demo/console.out" "$demo"/readonly.* >&2
  exit 1
fi
echo "Cyrillic folders, the per-user folder and console text as a Windows user meets them"

echo "--- zip"
zip_file=$(tools/package-windows.sh "$build")
listing=$(zip -sf "$zip_file")
for member in probrix-cli.exe libstdc++-6.dll libwinpthread-1.dll README.txt README.md \
  CHANGELOG.md LICENSE; do
  grep -q "/$member\$" <<<"$listing" || { echo "FAILED: $member not in $zip_file" >&2; exit 1; }
done
readme=$(unzip -p "$zip_file" '*/README.txt')
[ "$(grep -c $'\r$' <<<"$readme")" = "$(wc -l <<<"$readme")" ] ||
  { echo "FAILED: README.txt without Windows line ends" >&2; exit 1; }
# grep reads all of it (an early end would fail unzip's write, and the pipe with it).
[ "$(unzip -p "$zip_file" '*/probrix-cli.exe' | grep -ac '<activeCodePage[^>]*>UTF-8<')" -gt 0 ] ||
  { echo "FAILED: probrix-cli.exe in the zip without its manifest" >&2; exit 1; }
echo "made ${zip_file#"$root/"}"
