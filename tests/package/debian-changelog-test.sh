#!/usr/bin/env bash
# packaging/debian-changelog.sh: CHANGELOG.md's sections become Debian changelog entries that
# dpkg reads back with their versions, distributions, dates and every word, in lines lintian
# accepts; a heading it cannot date is refused without leaving a file.
#
# Usage: debian-changelog-test.sh SOURCE_DIR
set -euo pipefail
script="$1/packaging/debian-changelog.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
convert() {  # convert MARKDOWN_FILE -> $tmp/out
  sh "$script" "$1" probrix "Jane Doe <jane.doe@example.org>" "$tmp/out"
}
parsed() { dpkg-parsechangelog -l "$tmp/out" --format rfc822 --all; }

cat >"$tmp/good.md" <<'EOF'
# Changes

Words before the first version are not an entry.

## 1.1.0 (in progress)

- A first item whose text runs on over several lines of the Markdown file and is long enough
  to need more than one line in the Debian changelog as well, with `code` and "quotes".
- Поиск приборов: a Cyrillic item.

A paragraph of its own.

## 1.0.0 (2026-12-08)

The first version.
EOF
SOURCE_DATE_EPOCH=1800000000 convert "$tmp/good.md"
check "two entries, newest first" \
  test "$(parsed | sed -n 's/^Version: //p' | tr '\n' ' ')" = "1.1.0 1.0.0 "
check "in progress is UNRELEASED, a dated version unstable" \
  test "$(parsed | sed -n 's/^Distribution: //p' | tr '\n' ' ')" = "UNRELEASED unstable "
check "dates from SOURCE_DATE_EPOCH and from the heading" \
  test "$(parsed | sed -n 's/^Date: //p' | tr '\n' '|')" = \
  "Fri, 15 Jan 2027 08:00:00 +0000|Tue, 08 Dec 2026 00:00:00 +0000|"
check "the maintainer signs every entry" \
  test "$(parsed | grep -c '^Maintainer: Jane Doe <jane.doe@example.org>$')" -eq 2
check "one item per list item and paragraph" test "$(grep -c '^  \* ' "$tmp/out")" -eq 4
check "no line of 80 characters or more" \
  test -z "$(LC_ALL=C.UTF-8 awk 'length($0) >= 80' "$tmp/out")"
# Every word of the sections, in order, and nothing else.
words_in=$(sed -n '/^## 1.1.0/,$p' "$tmp/good.md" | grep -v '^## ' | sed 's/^- //' | tr -s ' \n' '\n\n' |
           sed '/^$/d')
words_out=$(grep '^  ' "$tmp/out" | sed 's/^  \* //' | tr -s ' \n' '\n\n' | sed '/^$/d')
check "the words of the items are kept" test "$words_in" = "$words_out"
check "the date follows the file without SOURCE_DATE_EPOCH" \
  sh -c 'touch -d "2027-03-04 05:06:07 UTC" "$1" && unset SOURCE_DATE_EPOCH &&
         sh "$2" "$1" probrix "J <j@example.org>" "$3" &&
         grep -q "^ -- J <j@example.org>  Thu, 04 Mar 2027 05:06:07 +0000$" "$3"' \
  _ "$tmp/good.md" "$script" "$tmp/dated"

# Sections it cannot turn into an entry: refused, and no output file is left behind.
refused() {  # refused NAME MARKDOWN
  printf '%s\n' "$2" >"$tmp/bad.md"
  rm -f "$tmp/out"
  if convert "$tmp/bad.md" 2>"$tmp/err"; then
    echo "FAILED: $1 was accepted" >&2
    failures=$((failures + 1))
  elif [ -e "$tmp/out" ] || [ -e "$tmp/out.tmp" ] || [ ! -s "$tmp/err" ]; then
    echo "FAILED: $1 left a file or said nothing" >&2
    failures=$((failures + 1))
  fi
}
refused "a heading without a date" $'## 1.0.0\n\n- item'
refused "a heading with a bad date" $'## 1.0.0 (2026-13-45)\n\n- item'
refused "an older version in progress" $'## 1.1.0 (2026-12-09)\n\n- a\n\n## 1.0.0 (in progress)\n\n- b'
refused "a version without changes" $'## 1.1.0 (in progress)\n\n## 1.0.0 (2026-12-08)\n\n- b'
refused "a file without versions" $'# Changes\n\nNothing yet.'

# The project's own CHANGELOG.md converts, every version in it.
convert "$1/CHANGELOG.md"
check "CHANGELOG.md converts whole" \
  test "$(parsed | grep -c '^Version: ')" -eq "$(grep -c '^## ' "$1/CHANGELOG.md")"

[ "$failures" -eq 0 ] || exit 1
echo "debian-changelog.sh: all checks passed"
