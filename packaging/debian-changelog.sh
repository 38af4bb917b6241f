#!/bin/sh
# Writes CHANGELOG.md as a Debian changelog, the format dpkg and lintian read: one entry per
# "## VERSION (...)" section, newest first as in the file, each list item or paragraph of it one
# "  * " item wrapped at 78 columns. A released version's heading carries its date,
# "## 0.1.0 (2026-12-08)"; the version being made, "## 0.2.0 (in progress)", is UNRELEASED and
# dated SOURCE_DATE_EPOCH or else the file's last change, so a rebuild makes the same file.
#
# Usage: debian-changelog.sh CHANGELOG.md SOURCE_PACKAGE "NAME <ADDRESS>" OUTPUT
set -eu
[ $# -eq 4 ] || { echo "usage: $0 CHANGELOG.md SOURCE_PACKAGE MAINTAINER OUTPUT" >&2; exit 2; }
in=$1
source_package=$2
maintainer=$3
out=$4

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  now=$(date -u -R -d "@$SOURCE_DATE_EPOCH")
else
  now=$(date -u -R -r "$in")
fi

trap 'rm -f "$out.tmp"' EXIT
LC_ALL=C awk -v pkg="$source_package" -v maintainer="$maintainer" -v now="$now" '
function fail(message) {
  printf "%s:%d: %s\n", FILENAME, FNR, message > "/dev/stderr"
  failed = 1
  exit 1
}
# The item collected so far, wrapped: "  * " before the first line, four blanks before the rest.
function flush_item(    n, words, i, line, prefix) {
  if (item == "") return
  n = split(item, words, " ")
  prefix = "  * "
  line = ""
  for (i = 1; i <= n; i++) {
    if (line != "" && length(prefix line " " words[i]) > 78) {
      print prefix line
      prefix = "    "
      line = words[i]
    } else {
      line = line == "" ? words[i] : line " " words[i]
    }
  }
  print prefix line
  item = ""
  items++
}
function close_entry() {
  flush_item()
  if (version == "") return
  if (items == 0) fail("version " version " lists no changes")
  printf "\n -- %s  %s\n", maintainer, date
  version = ""
}
/^## / {
  close_entry()
  if (match($0, /^## [0-9][0-9A-Za-z.+~]* \(in progress\)$/)) {
    if (entries > 0) fail("only the newest version may be in progress")
    distribution = "UNRELEASED"
    date = now
  } else if (match($0, /^## [0-9][0-9A-Za-z.+~]* \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)) {
    distribution = "unstable"
    day = substr($0, length($0) - 10, 10)
    command = "date -u -R -d " day " 2>/dev/null"
    date = ""
    command | getline date
    close(command)
    if (date == "") fail("not a date: " day)
  } else {
    fail("a version heading is \"## VERSION (YYYY-MM-DD)\" or \"## VERSION (in progress)\"")
  }
  version = $2
  if (entries > 0) print ""
  printf "%s (%s) %s; urgency=medium\n\n", pkg, version, distribution
  entries++
  items = 0
  next
}
version == "" { next }  # the title and the words before the first version
/^[ \t]*$/ { flush_item(); next }
/^- / { flush_item(); item = substr($0, 3); next }
{ sub(/^[ \t]+/, ""); item = item == "" ? $0 : item " " $0 }
END {
  if (failed) exit 1
  close_entry()
  if (entries == 0) { printf "%s: no \"## VERSION\" heading\n", FILENAME > "/dev/stderr"; exit 1 }
}' "$in" >"$out.tmp"
mv "$out.tmp" "$out"
