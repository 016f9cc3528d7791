#!/usr/bin/env bash
# Ends what setup.sh started: the prefix's wineserver and Xvfb.
#   cleanup.sh STATE_DIR
state=$(realpath -m "$1")
if [ -d "$state/prefix" ]; then
  WINEPREFIX="$state/prefix" timeout 60 wineserver -k 2>/dev/null || true
fi
if [ -f "$state/xvfb.pid" ]; then
  kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
  rm -f "$state/xvfb.pid"
fi
exit 0
