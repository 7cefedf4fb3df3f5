#!/bin/sh
# Runs a test command with an X display for Wine's windows: the one the run
# provides (./run test starts a virtual display and exports DISPLAY), or a
# virtual display of its own, 24 bits deep so that captured pixels keep
# their exact colours.
if [ -n "$DISPLAY" ]; then exec "$@"; fi
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
