#!/usr/bin/env bash
# Makes probrix-VERSION-win64.zip from a Windows cross build (tools/wine-check.sh makes one):
# probrix-cli.exe (its application manifest built in) with the MinGW runtime DLLs it loads, a
# short README.txt with Windows line ends (packaging/windows/README.txt), the README, the
# CHANGELOG and the LICENSE, in a folder probrix-VERSION-win64/. The zip lands in the build
# folder; its path is printed.
#
#   tools/package-windows.sh [BUILD]      (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
exe="$build/src/cli/probrix-cli.exe"
[ -f "$exe" ] || { echo "package-windows.sh: no $exe (build the Windows cross build first)" >&2; exit 1; }

version=$(sed -n 's/^project(Probrix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="probrix-$version-win64"
compiler=x86_64-w64-mingw32-g++-posix
objdump=x86_64-w64-mingw32-objdump

# The DLLs a program or DLL imports that come from the toolchain, and theirs in turn; the
# system's own (KERNEL32.dll, WS2_32.dll, msvcrt.dll) are not found there and stay out.
declare -A seen=()
dlls=()
queue=("$exe")
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r dll; do
    key=${dll,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    path=$($compiler -print-file-name="$dll")
    case "$path" in /*) dlls+=("$path"); queue+=("$path") ;; esac
  done < <($objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

stage="$build/package-windows"
rm -rf "$stage"
mkdir -p "$stage/$name"
cp "$exe" "${dlls[@]}" README.md CHANGELOG.md LICENSE "$stage/$name/"
sed 's/$/\r/' packaging/windows/README.txt >"$stage/$name/README.txt"
# Without symbol tables and debug information (Debian's libstdc++ DLL keeps them: 23 MB of 24).
x86_64-w64-mingw32-strip --strip-unneeded "$stage/$name/"*.exe "$stage/$name/"*.dll
zip_file="$PWD/$build/$name.zip"
rm -f "$zip_file"
(cd "$stage" && zip -qr -X "$zip_file" "$name")
echo "$zip_file"
