#!/bin/sh
# Formats a manual page the way groff and man do and fails on any diagnostic:
# `groff -ww -z -man` (every warning enabled, output discarded), then `man -l`
# with man's own warnings, as lintian checks a packaged page. Both tools come
# from scripts/bootstrap (groff-base, man-db).
#
# With VERSION given, the title line (.TH) must also name that version, so
# that the page cannot fall behind the project's.
#
# Usage: check_man_page.sh PAGE [VERSION]
set -u
page=${1:?usage: check_man_page.sh PAGE [VERSION]}
version=${2:-}
status=0

if [ -n "$version" ] && ! grep -q "^\.TH .*\"HarloCompanionHelper $version\"" "$page"; then
  printf '%s: the .TH line does not name version %s\n' "$page" "$version"
  status=1
fi

if ! diagnostics=$(groff -ww -z -man "$page" 2>&1) || [ -n "$diagnostics" ]; then
  printf 'groff -ww -z -man %s:\n%s\n' "$page" "$diagnostics"
  status=1
fi

# A fixed UTF-8 locale, so that man neither warns about the locale nor
# formats differently from one machine to the next.
if ! diagnostics=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
  [ -n "$diagnostics" ]; then
  printf 'man --warnings -l %s:\n%s\n' "$page" "$diagnostics"
  status=1
fi

exit "$status"
