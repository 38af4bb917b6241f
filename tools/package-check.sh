#!/usr/bin/env bash
# Builds the two Debian packages (probrix-cli and probrix) with Debian's hardened build flags in
# a build folder of its own and checks them as a Debian developer reviews an upload: their
# control fields (the command line's without Qt), lintian with Debian's profile (no error, no
# warning), hardening-check on every program, no compiler notes, the copyright file made from
# LICENSE and the changelog made from CHANGELOG.md in each, the manual pages against the
# options, the desktop entry, the icons and the AppStream data. Then it unpacks both into a
# temporary folder (nothing is installed on the machine) and checks them as an installed copy:
# every program's --version, and probrix-cli finding the demo devices of the packaged
# simulator with a read-only program folder, its settings and logs in a temporary per-user home.
#
# Usage: tools/package-check.sh [BUILD_DIR [CMAKE_OPTION...]]   (default BUILD_DIR: build-package)
# The packages name PROBRIX_CHECK_MAINTAINER as their maintainer (default: an address of
# example.org; lintian refuses the placeholder of an unset PROBRIX_PACKAGE_MAINTAINER).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
[ $# -gt 0 ] && shift

fail() {
  echo "package check: $*" >&2
  exit 1
}

maintainer=${PROBRIX_CHECK_MAINTAINER:-"Probrix Developers <probrix-developers@example.org>"}
cmake -S . -B "$build" -G Ninja -DPROBRIX_BUILD_TESTS=OFF -DPROBRIX_DEBIAN_BUILDFLAGS=ON \
  "-DPROBRIX_PACKAGE_MAINTAINER=$maintainer" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target package

version=$(sed -n 's/^project(Probrix VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
arch=$(dpkg --print-architecture)
declare -A debs=([probrix-cli]="$build/probrix-cli_${version}_$arch.deb"
                 [probrix]="$build/probrix_${version}_$arch.deb")
for package in "${!debs[@]}"; do
  [ -f "${debs[$package]}" ] || fail "${debs[$package]} was not made"
done

# Control fields: the version, computed run-time dependencies, section, maintainer, description.
field() { dpkg-deb --field "${debs[$1]}" "$2"; }
# The package names of a relation field, one a line.
names() { field "$1" "$2" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | sed '/^$/d'; }
for package in "${!debs[@]}"; do
  [ "$(field "$package" Package)" = "$package" ] || fail "Package is '$(field "$package" Package)'"
  [ "$(field "$package" Version)" = "$version" ] ||
    fail "$package: Version is '$(field "$package" Version)', not $version"
  [ "$(field "$package" Maintainer)" = "$maintainer" ] ||
    fail "$package: Maintainer is '$(field "$package" Maintainer)'"
  for f in Section Description; do
    [ -n "$(field "$package" "$f")" ] || fail "$package: the $f field is empty"
  done
  for dep in libc6 libstdc++6; do
    names "$package" Depends | grep -qx "$dep" || fail "$package: Depends lacks $dep"
  done
done
! names probrix-cli Depends | grep -Ei '^(lib)?qt|^libx|^libgl|^libegl' ||
  fail "probrix-cli depends on the graphical stack: $(field probrix-cli Depends)"
for dep in libqt6core6 libqt6gui6 libqt6widgets6; do
  names probrix Depends | grep -qx "$dep" || fail "probrix: Depends lacks $dep"
done
! names probrix Depends | grep -qx qt6-qpa-plugins ||
  fail "probrix depends on qt6-qpa-plugins (libqt6gui6 has the platform plugins)"
names probrix Recommends | grep -qx probrix-cli || fail "probrix does not recommend probrix-cli"
field probrix Description | grep -q Russian || fail "probrix's description does not say Russian"

# Debian's own checks. lintian: the profile of Debian, whatever the machine's vendor.
lintian --profile debian --fail-on error,warning "${debs[@]}" ||
  fail "lintian reports errors or warnings"

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
# Each package on its own, to see what it holds, and both together as installed.
root="$tmp/root"
for package in "${!debs[@]}"; do
  dpkg-deb -x "${debs[$package]}" "$tmp/$package"
  dpkg-deb -x "${debs[$package]}" "$root"
done
bin="$root/usr/bin"

for f in usr/bin/probrix-cli usr/bin/probrix-devsim usr/share/man/man1/probrix-cli.1.gz \
         usr/share/man/man1/probrix-devsim.1.gz; do
  [ -s "$tmp/probrix-cli/$f" ] || fail "$f is missing from probrix-cli"
done
for f in usr/bin/probrix usr/share/man/man1/probrix.1.gz usr/share/applications/probrix.desktop \
         usr/share/icons/hicolor/scalable/apps/probrix.svg \
         usr/share/icons/hicolor/48x48/apps/probrix.png \
         usr/share/icons/hicolor/256x256/apps/probrix.png \
         usr/share/metainfo/org.probrix.probrix.metainfo.xml; do
  [ -s "$tmp/probrix/$f" ] || fail "$f is missing from probrix"
done

# Every program hardened, without the compiler's version notes. Debian 12's C start files
# (crt1.o, crti.o) are built without control-flow protection, so no program linked there gets
# the IBT/SHSTK note that hardening-check looks for (nor do Debian's own, /usr/bin/ls): the
# compile options recorded in the build's unstripped programs show it and stack-clash
# protection, which hardening-check only sees in functions with large frames, instead.
hardening-check --nocfprotection "$bin"/* || fail "hardening-check refused a program"
options=(-fstack-protector-strong -fstack-clash-protection)
case $arch in amd64 | i386) options+=(-fcf-protection=full) ;; esac
for program in src/ui/probrix src/cli/probrix-cli tools/devsim/probrix-devsim; do
  producers=$(readelf -p .debug_str "$build/$program" | grep -o 'GNU C[A-Z+0-9]* [0-9].*') ||
    fail "$program: no compile options recorded"
  for option in "${options[@]}"; do
    ! grep -v -- " $option\( \|$\)" <<<"$producers" ||
      fail "$program has code compiled without $option"
  done
done
for program in "$bin"/*; do
  ! readelf -S "$program" | grep -q '\.comment' || fail "$(basename "$program") has a .comment section"
done

# The copyright file of each package holds LICENSE's terms; the changelog is CHANGELOG.md's.
license=$(sed '1,/^Copyright (c)/d' LICENSE | sed '1{/^$/d}')
holder=$(sed -n 's/^Copyright (c) //p' LICENSE)
for package in "${!debs[@]}"; do
  doc="$tmp/$package/usr/share/doc/$package"
  for f in copyright changelog.gz README.md.gz README.Debian; do
    [ -s "$doc/$f" ] || fail "$package lacks /usr/share/doc/$package/$f"
  done
  head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$package: the copyright file is not machine-readable"
  grep -qx "Copyright: $holder" "$doc/copyright" || fail "$package: the copyright file lacks $holder"
  [ "$(awk '/^License: Expat$/ { n++; next } n == 2' "$doc/copyright" |
       sed 's/^ //; s/^\.$//')" = "$license" ] ||
    fail "$package: the licence in the copyright file is not LICENSE's"
  zcat "$doc/changelog.gz" >"$tmp/changelog"
  [ "$(dpkg-parsechangelog -l "$tmp/changelog" --show-field Version)" = "$version" ] ||
    fail "$package: the changelog does not start with $version"
  [ "$(dpkg-parsechangelog -l "$tmp/changelog" --format rfc822 --all | grep -c '^Version:')" -eq \
    "$(grep -c '^## ' CHANGELOG.md)" ] ||
    fail "$package: the changelog lacks versions of CHANGELOG.md"
  grep -qF 'adduser $USER dialout' "$doc/README.Debian" || fail "$package: README.Debian lacks dialout"
done

for p in probrix probrix-cli probrix-devsim; do
  out=$("$bin/$p" --version) || fail "$p --version failed"
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
  # The page names the version, every long option of --help is in it, it has no text that
  # help2man could not encode ("????") and no line it could not place in a list (.HP).
  page=$(zcat "$root/usr/share/man/man1/$p.1.gz")
  head -n 20 <<<"$page" | grep -q "^\.TH .*\"$p $version\"" || fail "$p.1 is not of version $version"
  ! grep -n '??' <<<"$page" || fail "$p.1 has characters help2man could not write"
  ! grep -n '^\.HP' <<<"$page" || fail "$p.1 has a line outside its list"
  text=$(sed 's/\\-/-/g' <<<"$page")
  options=$("$bin/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u) || fail "$p --help failed"
  grep -qx -- --version <<<"$options" || fail "$p --help does not list --version"
  for option in $options; do
    grep -qF -- "$option" <<<"$text" || fail "$p.1 lacks $option"
  done
done
zcat "$root/usr/share/man/man1/probrix-cli.1.gz" | grep -q 'результаты_поиска' ||
  fail "probrix-cli.1 lacks the result log's name"

desktop="$root/usr/share/applications/probrix.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate refused probrix.desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$bin/$exec_name" ] || fail "Exec=$exec_name is not a packaged program"
icons="$root/usr/share/icons/hicolor"
[ -f "$icons/scalable/apps/$icon_name.svg" ] || fail "no icon $icon_name.svg"
for size in 48 256; do
  file "$icons/${size}x$size/apps/$icon_name.png" | grep -q "PNG image data, $size x $size," ||
    fail "$icon_name.png of ${size}x$size is not a PNG of that size"
done
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "appstreamcli refused the AppStream data"
grep -qF "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" \
  "$root"/usr/share/metainfo/*.metainfo.xml || fail "the AppStream data does not name the menu entry"

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
echo "Package check: $(basename "${debs[probrix-cli]}") and $(basename "${debs[probrix]}") pass" \
  "lintian, hardening-check and appstreamcli and hold their programs, pages, copyright and" \
  "changelog; an installed copy found the demo devices with its logs in the per-user folders."
