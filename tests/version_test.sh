#!/usr/bin/env bash
# Checks that the manual page and the changelog name the version the project
# builds, so a release cannot ship one of them stale.
#
#   tests/version_test.sh VERSION doc/kelm.1 packaging/changelog
set -euo pipefail
version=$1 manual=$2 changelog=$3
status=0
if ! grep -qx "\.TH KELM 1 \"[^\"]*\" \"kelm $version\" \"User Commands\"" "$manual"; then
  echo "$manual: the header does not name kelm $version: $(grep '^\.TH' "$manual")"
  status=1
fi
if ! grep -qF "\"kelm $version\"" <(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$manual"); then
  echo "$manual: OPTIONS does not show what kelm --version prints (kelm $version)"
  status=1
fi
if [[ $(head -n 1 "$changelog") != "kelm ($version) "* ]]; then
  echo "$changelog: the newest entry is not $version: $(head -n 1 "$changelog")"
  status=1
fi
exit "$status"
