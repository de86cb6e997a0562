#!/usr/bin/env bash
# Starts the demo from the build's run directory, which holds the scene and
# the textures. Without a desktop (DISPLAY unset) it runs the demo for a few
# seconds on a virtual X server and saves a screenshot instead.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${ZIBBET_HEADLESS_SECONDS:-5}
cd "$build/run"

if [ -n "${DISPLAY:-}" ]; then
  exec "$build/zibbet"
fi

command -v Xvfb >/dev/null || { echo "No DISPLAY and no Xvfb: run 'make deps' first." >&2; exit 1; }
numfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; rm -f "$numfile"' EXIT
for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
display_number=$(head -n 1 "$numfile")
[ -n "$display_number" ] || { echo "The virtual X server did not start." >&2; exit 1; }
export DISPLAY=":$display_number"
echo "No desktop found: running Zibbet on the virtual X server $DISPLAY for $seconds seconds."

"$build/zibbet" &
zibbet_pid=$!
if "$build/tools/zibbet-x" wait 30; then
  sleep "$seconds"
  shot="$build/run/zibbet-screenshot.png"
  "$build/tools/zibbet-x" shot "$shot" && echo "Screenshot of the running demo: $shot"
  "$build/tools/zibbet-x" key Escape
fi
# Escape ends the demo; should it not, end it here.
for _ in $(seq 50); do kill -0 "$zibbet_pid" 2>/dev/null || break; sleep 0.1; done
kill "$zibbet_pid" 2>/dev/null || true
status=0
wait "$zibbet_pid" || status=$?
echo "Zibbet ended with status $status."
exit "$status"
