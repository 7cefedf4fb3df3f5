#!/bin/sh
# Runs a test command with an X display for Wine's windows, whose pixels the
# preview tests capture and compare exactly: a display of known depth
# (24 bits), never whatever DISPLAY happens to name.
#
# Under ./run test, DISPLAY is the virtual display the run started for itself
# (it says so in TAMSOREL_XVFB_DISPLAY), and its wineserver was started on
# it.  Run by hand, the command gets a virtual display of its own; Wine's
# desktop lives as long as the prefix's wineserver, on the display of the
# server's first program, so the test waits for a wineserver left from an
# earlier command to end first, and for its own to end before its display
# goes away.
if [ -n "${DISPLAY:-}" ] && [ "$DISPLAY" = "${TAMSOREL_XVFB_DISPLAY:-}" ]; then exec "$@"; fi

root=$(cd "$(dirname "$0")/../.." && pwd)
WINEPREFIX="${TAMSOREL_WINEPREFIX:-$root/build/wine}"
export WINEPREFIX
unset TAMSOREL_XVFB_DISPLAY WAYLAND_DISPLAY
if ! timeout 30 wineserver -w; then
  echo "with_display.sh: a wineserver of $WINEPREFIX keeps running, its desktop on another display;" \
       "stop it (WINEPREFIX=$WINEPREFIX wineserver -k) or run the tests through ./run test" >&2
  exit 1
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" sh -c '"$@"; status=$?; wineserver -w; exit $status' sh "$@"
