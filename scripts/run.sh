#!/usr/bin/env bash
# Starts the demo from the build's run directory, which holds the scene and
# the textures. Without a desktop (DISPLAY unset) it runs the demo for a few
# seconds on a virtual X server and saves a screenshot instead.
#   scripts/run.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
seconds=${ZIBBET_HEADLESS_SECONDS:-5}
cd "$build/run"

if [ "${2:-}" != "--on-virtual-server" ]; then
  if [ -n "${DISPLAY:-}" ]; then
    exec "$build/zibbet"
  fi
  # Comes back here on the fresh server, with DISPLAY set.
  exec bash "$here/with-xvfb.sh" bash "$here/run.sh" "$build" --on-virtual-server
fi

echo "No desktop found: running Zibbet on the virtual X server $DISPLAY for $seconds seconds."
"$build/zibbet" &
zibbet_pid=$!
if "$build/tests/harness/zibbet-x" wait 30; then
  sleep "$seconds"
  shot="$build/run/zibbet-screenshot.png"
  "$build/tests/harness/zibbet-x" shot "$shot" && echo "Screenshot of the running demo: $shot"
  "$build/tests/harness/zibbet-x" key Escape
fi
# Escape ends the demo; should it not, end it here.
for _ in $(seq 50); do kill -0 "$zibbet_pid" 2>/dev/null || break; sleep 0.1; done
kill "$zibbet_pid" 2>/dev/null || true
status=0
wait "$zibbet_pid" || status=$?
echo "Zibbet ended with status $status."
exit "$status"
