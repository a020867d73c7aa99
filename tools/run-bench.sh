#!/usr/bin/env bash
# Runs every benchmark of a build folder once; each prints its own ratios.
set -euo pipefail
build=${1:-build}
export QT_QPA_PLATFORM=offscreen
for b in encoder_vs_ffmpeg profile_bitrates preview_open_seek server_run distributed_run meter_tick balance; do
  echo "== $b =="
  "$build/bench/$b"
  echo
done
