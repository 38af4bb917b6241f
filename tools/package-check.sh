#!/usr/bin/env bash
# Builds the Debian package in a build folder of its own, unpacks it into a temporary folder
# (nothing is installed on the machine) and checks it as an installed copy: its files and
# control fields, every program's --version, the manual pages against the options, the desktop
# entry, and probrix-cli finding the demo devices of the packaged simulator with a read-only
# program folder, its settings and logs in a temporary per-user home.
#
# Usage: tools/package-check.sh [BUILD_DIR [CMAKE_OPTION...]]   (default BUILD_DIR: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
[ $# -gt 0 ] && shift

fail() {
  echo "package check: $*" >&2
  exit 1
}

cmake -S . -B "$build" -G Ninja -DPROBRIX_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target package

version=$(sed -n 's/^project(Probrix VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
deb="$build/probrix_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "$deb was not made"

# Control fields: the version, computed run-time dependencies, section, maintainer, description.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = probrix ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
for dep in libc6 libstdc++6 libqt6widgets6 qt6-qpa-plugins; do
  field Depends | tr ',' '\n' | grep -q "^ *$dep\( \|$\)" || fail "Depends lacks $dep: $(field Depends)"
done
for f in Section Maintainer Description; do
  [ -n "$(field "$f")" ] || fail "the $f field is empty"
done

tmp=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  chmod -R u+w "$tmp" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"

for f in usr/bin/probrix usr/bin/probrix-cli usr/bin/probrix-devsim \
         usr/share/applications/probrix.desktop usr/share/icons/hicolor/scalable/apps/probrix.svg \
         usr/share/man/man1/probrix.1 usr/share/man/man1/probrix-cli.1 \
         usr/share/man/man1/probrix-devsim.1 usr/share/doc/probrix/README.md \
         usr/share/doc/probrix/CHANGELOG.md; do
  [ -s "$root/$f" ] || fail "$f is missing from the package"
done

for p in probrix probrix-cli probrix-devsim; do
  out=$("$bin/$p" --version) || fail "$p --version failed"
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
  # The page names the version, and every long option of --help is in it.
  page="$root/usr/share/man/man1/$p.1"
  head -n 20 "$page" | grep -q "^\.TH .*\"$p $version\"" || fail "$p.1 is not of version $version"
  text=$(sed 's/\\-/-/g' "$page")
  options=$("$bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u) || fail "$p --help failed"
  grep -qx -- --version <<<"$options" || fail "$p --help does not list --version"
  for option in $options; do
    grep -qF -- "$option" <<<"$text" || fail "$p.1 lacks $option"
  done
done

desktop="$root/usr/share/applications/probrix.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate refused probrix.desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$bin/$exec_name" ] || fail "Exec=$exec_name is not a packaged program"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "no icon $icon_name"

# The installed copy: a program folder it cannot write to, a fresh per-user home. Root may
# write anywhere, so root runs the programs as the unprivileged "nobody".
chmod -R a-w "$bin"
run="$tmp/run"
home="$run/home"
mkdir -p "$home"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$tmp"
  chown -R 65534:65534 "$run"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_STATE_HOME="$home/.local/state"

out_file="$run/devsim.out"
"${as_user[@]}" "$bin/probrix-devsim" --demo --dir "$run/ports" --out "$out_file" \
  --tcp-port 0 >/dev/null 2>"$tmp/devsim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  if [ -f "$out_file" ] && grep -qx ready "$out_file"; then break; fi
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator did not start: $(cat "$tmp/devsim.err")"
  sleep 0.1
done
grep -qx ready "$out_file" 2>/dev/null || fail "the simulator was not ready within 10 s"
mapfile -t ports < <(sed -n 's/^port //p' "$out_file")
endpoint=$(sed -n 's/^tcp //p' "$out_file" | head -n 1)
PROBRIX_EXTRA_PORTS=$(IFS=:; echo "${ports[*]}")
export PROBRIX_EXTRA_PORTS

args=()
for p in "${ports[@]}"; do args+=(--port "$p"); done
status=0
(cd "$run" && "${as_user[@]}" "$bin/probrix-cli" "${args[@]}" --tcp "$endpoint" --baud 9600 \
  --protocols orvatascii,orvatbus,modbusrtu,modbustcp --orvatbus-addresses 2,7 \
  --modbus-addresses 1,5,17 --timeout 100 --json) >"$tmp/cli.out" 2>"$tmp/cli.err" || status=$?
[ "$status" -eq 0 ] || fail "probrix-cli exited with $status: $(cat "$tmp/cli.err" "$tmp/cli.out")"
for expected in '"protocol":"OrvatASCII".*"address":65' '"protocol":"Orvatbus".*"address":2,' \
                '"protocol":"Orvatbus".*"address":7,' '"protocol":"ModbusRTU".*"address":17,' \
                '"protocol":"ModbusTCP".*"address":1,' '"protocol":"ModbusTCP".*"address":5,'; do
  grep '"event":"found"' "$tmp/cli.out" | grep -q "$expected" ||
    fail "no device $expected found: $(cat "$tmp/cli.out")"
done

# Settings and logs went to the per-user folders, nothing beside the program.
[ -d "$XDG_CONFIG_HOME/probrix" ] || fail "no settings folder $XDG_CONFIG_HOME/probrix"
result_logs=("$XDG_STATE_HOME"/probrix/Logs/*/*__результаты_поиска.log)
[ -s "${result_logs[0]}" ] || fail "no result log under $XDG_STATE_HOME/probrix/Logs/"
grep -q ModbusTCP "${result_logs[0]}" || fail "the result log lacks the found devices"
[ -z "$(find "$bin" -mindepth 1 ! -name 'probrix*')" ] || fail "files were written into bin"
echo "Package check: $(basename "$deb") holds the programs, pages, menu entry and icon; an" \
  "installed copy found the demo devices with its logs in the per-user folders."
