#!/usr/bin/env bash
# Renders the window under a virtual display with a generated clip loaded and writes it to
# BUILD/screenshot.png. SHOT_GO=1 presses Go and takes the picture in the middle of the run.
set -euo pipefail
build=${1:-build}
# A run needs a long clip to still be encoding when the picture is taken.
seconds=30
[[ "${SHOT_GO:-0}" == 1 ]] && seconds=300
clip="$build/screenshot-clip-${seconds}s.avi"
if [[ ! -f "$clip" ]]; then
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x480:rate=30000/1001" -f lavfi -i "sine=frequency=440" \
    -t "$seconds" -c:v mjpeg -q:v 4 -c:a pcm_s16le "$clip"
fi
mkdir -p "$HOME/Shardex"
extra=()
delay=2500
if [[ "${SHOT_GO:-0}" == 1 ]]; then extra+=(--go); delay=${SHOT_DELAY:-5000}; fi
xvfb-run -a -s "-screen 0 1400x1000x24" "$build/src/app/shardex" --source "$(realpath "$clip")" \
  "${extra[@]}" --screenshot "$build/screenshot.png" --delay "$delay"
echo "wrote $build/screenshot.png"
