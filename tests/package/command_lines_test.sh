#!/usr/bin/env bash
# Each program's command line explains itself: --version and --help answer on a terminal
# without a display, the version is the project's, and the options --help lists are those
# its manual page explains, neither more nor fewer.
# usage: command_lines_test.sh VERSION MAN_DIR PROGRAM_PATH...
set -euo pipefail
version=$1 man_dir=$2
shift 2
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# The long option each item of a list names first: --help's lines that start with an option,
# the manual page's tags (the line after .TP) in its OPTIONS section.
first_options() { sed 's/\\-/-/g' | awk 'match($0, /--[a-z][a-z0-9-]*/) { print substr($0, RSTART, RLENGTH) }' | sort; }
for path in "$@"; do
  name=$(basename "$path")
  run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$path" "$@" 2>&1; }
  got=$(run --version) || fail "$name --version exits with $?"
  [[ ${got,,} == "$name $version" ]] || fail "$name --version printed '$got', not '$name $version'"
  help=$(run --help) || fail "$name --help exits with $?"
  page=$man_dir/$name.1
  [[ -f $page ]] || { fail "$name has no manual page $page"; continue; }
  documented=$(awk '/^\.SH/ { options = /^\.SH OPTIONS/ } options && tag { print } { tag = /^\.TP/ }' "$page" |
    first_options)
  listed=$(grep -E '^\s+-' <<< "$help" | first_options)
  [[ $documented == "$listed" ]] ||
    fail "$name: --help and its manual page name different options:
$(diff <(echo "$listed") <(echo "$documented") | grep '^[<>]' | sed 's/^</  only in --help:/; s/^>/  only in the manual page:/')"
done
((failures == 0)) || exit 1
echo "$# programs explain their command lines"
