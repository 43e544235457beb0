#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual page and `serivox --help` name the same long options: every
# option the help prints is described in the manual page, and the manual page
# describes no option the program lacks.
#
#   manual_test.sh EXE MANPAGE    (MANPAGE: roff source, or gzipped)
#
# The help is asked for without a display, as help2man or a script would.
set -euo pipefail
exe=$1 manpage=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$exe" --help) ||
  fail "$exe --help ended with status $?"
# Option lines of the help: "  -h, --help  ..." or "  --port <NAME>  ...".
from_help=$(sed -nE 's/^ +(-[[:alnum:]], )?--([[:alnum:]][[:alnum:]-]*).*/\2/p' <<< "$help" | sort -u)
[[ -n $from_help ]] || fail "no long option in the output of $exe --help"

if [[ $manpage == *.gz ]]; then roff=$(zcat "$manpage"); else roff=$(cat "$manpage"); fi
# Long options in roff are written \-\-name.
from_manpage=$(grep -oE '\\-\\-[[:alnum:]][[:alnum:]-]*' <<< "$roff" | sed 's/^\\-\\-//' | sort -u)

status=0
for name in $(comm -23 <(echo "$from_help") <(echo "$from_manpage")); do
  echo "FAIL: --$name is in the help but not in the manual page $manpage" >&2
  status=1
done
for name in $(comm -13 <(echo "$from_help") <(echo "$from_manpage")); do
  echo "FAIL: --$name is in the manual page $manpage but not in the help" >&2
  status=1
done
((status == 0)) || exit 1
echo "the manual page and --help name the same $(wc -l <<< "$from_help") long options: ok"
