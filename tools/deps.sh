#!/usr/bin/env bash
# Installs the Debian packages that are missing; does nothing when all are there.
#   tools/deps.sh        what the build, the tests, the package checks and the demo need
#   tools/deps.sh run    only what ./run needs: building and running the programs
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-translations-l10n)
if [ "${1:-}" != run ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev clang-14 libclang-rt-14-dev
             clang-format-14 xvfb xauth help2man dpkg-dev file desktop-file-utils lintian
             devscripts appstream g++-mingw-w64-x86-64-posix wine64 zip nftables)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
