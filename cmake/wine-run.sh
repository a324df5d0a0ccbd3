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

# Making a prefix takes about ten seconds and prints to standard error, so it
# happens here, under a lock, before the first program runs in it.
mkdir -p "$WINEPREFIX"
WINEPREFIX=$(cd "$WINEPREFIX" && pwd)
if [ ! -e "$WINEPREFIX/.ready" ]; then
  # shellcheck disable=SC2016 # expanded by the inner shell, under the lock
  flock "$WINEPREFIX" sh -ec '
    [ -e "$WINEPREFIX/.ready" ] && exit 0
    if ! "$1" wineboot --init </dev/null >"$WINEPREFIX/wineboot.log" 2>&1; then
      echo "$0: could not make a Wine prefix in $WINEPREFIX; see wineboot.log there" >&2
      exit 125
    fi
    "$2" -w
    : >"$WINEPREFIX/.ready"' "$0" "$wine" "$server"
fi

# Wine's server otherwise ends with its last program, and each start then costs
# about a second; kept for a while, the next start takes a tenth of that. It
# ends on its own once no program has used it for a minute. Refused (and
# harmless) when a server already runs.
"$server" -p60 </dev/null >/dev/null 2>&1 || true

exec "$wine" "$@"
