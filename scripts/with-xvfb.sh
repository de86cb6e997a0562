#!/usr/bin/env bash
# Runs a command on a fresh virtual X server (Xvfb) and stops the server when
# the command ends. The command's exit status is the script's.
#   scripts/with-xvfb.sh CMD [ARG...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: with-xvfb.sh CMD [ARG...]" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "No Xvfb: run 'make deps' first." >&2; exit 1; }

numfile=$(mktemp)
# The server writes its display number to descriptor 3 once it accepts clients.
# -noreset: otherwise it resets whenever its last client leaves, and clients
# connecting during the reset fail.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$numfile" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; rm -f "$numfile"' EXIT
for _ in $(seq 100); do
  [ -s "$numfile" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
display_number=$(head -n 1 "$numfile")
[ -n "$display_number" ] || { echo "The virtual X server did not start." >&2; exit 1; }
export DISPLAY=":$display_number"

status=0
"$@" || status=$?
exit "$status"
