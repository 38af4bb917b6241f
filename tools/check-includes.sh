#!/usr/bin/env bash
# Fails when a source file of src/ includes a header by a path that climbs out of its folder
# ("../search/uSearchLog.h"). Every other include of a higher layer already fails to compile
# (each layer sees only its own and the lower layers' folders); a relative path would get past
# that, since it resolves from the including file.
set -euo pipefail
cd "$(dirname "$0")/.."
if hits=$(git grep -n -E '^\s*#\s*include\s*"[^"]*\.\./' -- src); then
  echo "Includes that climb out of their folder (name the header by its layer folder instead):" >&2
  echo "$hits" >&2
  exit 1
fi
echo "Includes: no relative paths out of a folder in src/."
