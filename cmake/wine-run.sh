#!/bin/sh
# Runs a Windows console program under Wine, quietly and without a display:
#   wine-run.sh PREFIX PROGRAM [ARGUMENT...]
# PREFIX is the Wine folder to use (made on first use, once, even when several
# runs start together). The program's standard streams and exit status come
# through unchanged; Wine's own chatter is kept off them.
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGUMENT...]" >&2
  exit 125
fi
WINEPREFIX=$1
shift

wine=${KELM_WINE:-/usr/lib/wine/wine64}
server=${KELM_WINESERVER:-/usr/lib/wine/wineserver64}

# No traces; no .NET or browser engine to offer; a crash ends the program
# with its status instead of printing winedbg's dump on its standard output.
WINEDEBUG=-all
WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d'
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$WINEPREFIX"
WINEPREFIX=$(cd "$WINEPREFIX" && pwd)

# Under a lock, so that runs started together do this once:
# - making a prefix takes about ten seconds and prints to standard error, so it
#   happens before the first program runs in it;
# - Wine's server otherwise ends with its last program and each start then
#   costs about a second; kept for a minute after its last program, the next
#   start takes a tenth of that. Wine's own services start with the server and
#   live as long; started from here with no streams of the caller's, they
#   cannot hold a pipe open after the program ends (ctest would wait on it),
#   nor the lock (-o).
# shellcheck disable=SC2016 # expanded by the inner shell, under the lock
flock -o "$WINEPREFIX" sh -ec '
  if [ ! -e "$WINEPREFIX/.ready" ]; then
    if ! "$1" wineboot --init </dev/null >"$WINEPREFIX/wineboot.log" 2>&1; then
      echo "$0: could not make a Wine prefix in $WINEPREFIX; see wineboot.log there" >&2
      exit 125
    fi
    "$2" -w
    : >"$WINEPREFIX/.ready"
  fi
  # Refused when a server already runs.
  if "$2" -p60 </dev/null >/dev/null 2>&1; then
    "$1" cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi' "$0" "$wine" "$server"

exec "$wine" "$@"
