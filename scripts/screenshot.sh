#!/usr/bin/env bash
# Takes the picture of the settings window that the README shows: the window with its defaults
# (a fresh settings store), on a virtual X display, saved as resources/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z "${TANDREL_SCREENSHOT_DISPLAY:-}" ]]; then
  scripts/install-deps.sh screenshot
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target tandrel
  # Run again inside a virtual display of its own; -a picks a free display number.
  exec env TANDREL_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

output=${1:-resources/screenshot.png}
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT

XDG_CONFIG_HOME="$store" build/default/tandrel &
relay=$!

# Wait (at most 20 s) for the window to be shown, then give it a moment to paint.
for _ in $(seq 200); do
  if xwininfo -name Tandrel 2>/dev/null | grep -q 'IsViewable'; then
    break
  fi
  sleep 0.1
done
sleep 1
import -window Tandrel "$output"
kill -TERM "$relay"
wait "$relay"
echo "screenshot: wrote $output" >&2
