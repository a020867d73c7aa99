#!/usr/bin/env bash
# Renders the window under a virtual display with a generated clip loaded and writes it to
# OUT (default BUILD/screenshot.png). SHOT_GO=1 presses Go and takes the picture in the
# middle of the run. SHOT_HOME=DIR runs the program with DIR as its home folder, so that no
# saved window size, peers file or profile of this user's changes the picture (the build
# renders the help's picture of the window that way).
set -euo pipefail
build=${1:-build}
out=${2:-$build/screenshot.png}
# A run needs a long clip to still be encoding when the picture is taken.
seconds=30
[[ "${SHOT_GO:-0}" == 1 ]] && seconds=300
clip="$build/screenshot-clip-${seconds}s.avi"
if [[ ! -f "$clip" ]]; then
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x480:rate=30000/1001" -f lavfi -i "sine=frequency=440" \
    -t "$seconds" -c:v mjpeg -q:v 4 -c:a pcm_s16le "$clip.part.avi"
  mv "$clip.part.avi" "$clip"
fi
if [[ -n "${SHOT_HOME:-}" ]]; then
  mkdir -p "$SHOT_HOME"
  export HOME=$(cd "$SHOT_HOME" && pwd)
  unset XDG_CONFIG_HOME
  # Only this computer in the Network list: no daemon to ask for the LAN's agents.
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-screenshot-no-bus
fi
mkdir -p "$HOME/Shardex"
extra=()
delay=2500
if [[ "${SHOT_GO:-0}" == 1 ]]; then extra+=(--go); delay=${SHOT_DELAY:-5000}; fi
rm -f "$out"
xvfb-run -a -s "-screen 0 1400x1000x24" "$build/src/app/shardex" --source "$(realpath "$clip")" \
  "${extra[@]}" --screenshot "$out" --delay "$delay" > "$build/screenshot.log" 2>&1 ||
  { cat "$build/screenshot.log"; exit 1; }
[[ -s "$out" ]] || { cat "$build/screenshot.log"; echo "screenshot: no picture was written to $out" >&2; exit 1; }
echo "wrote $out"
