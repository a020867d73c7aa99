#!/usr/bin/env bash
# A three-computer run on one computer: two agents, NODE1 and NODE2, on this computer (their
# own Shardex folders under the build folder), then the window with a generated sample clip
# loaded. The window finds the agents through DNS-SD where a daemon runs (they listen on
# every address, so the address DNS-SD announces reaches them), and through the --peer
# entries given here where none does. The agents stop when the window closes.
#   DEMO_SHOT=FILE   press Go and save the window to FILE mid-run, then quit
set -euo pipefail
build=${1:-build}
demo="$build/demo"
agent="$build/agent/shardex-agent"
mkdir -p "$demo/node1/Shardex" "$demo/node2/Shardex" "$HOME/Shardex"

# The network's certificates: the user's own, or a new network when there are none yet.
network="${XDG_CONFIG_HOME:-$HOME/.config}/shardex/network"
if [[ ! -f "$network/computer.pem" ]]; then
  "$agent" --init --network-dir "$network" --shardex-dir "$HOME/Shardex"
fi

clip="$demo/sample.avi"
if [[ ! -f "$clip" ]]; then
  echo "making a 4-minute sample clip: $clip"
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x480:rate=30000/1001" -f lavfi -i "sine=frequency=440" \
    -t 240 -c:v mjpeg -q:v 4 -c:a pcm_s16le "$clip"
fi

pids=()
stop_agents() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap stop_agents EXIT INT TERM

peers=()
for node in NODE1 NODE2; do
  lower=${node,,}
  log="$demo/$lower.log"
  "$agent" --name "$node" --listen 0.0.0.0:0 --shardex-dir "$demo/$lower/Shardex" --network-dir "$network" \
    --headless > "$log" 2>&1 &
  pids+=($!)
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9]*\),.*/\1/p' "$log" | head -1)
    [[ -n "$port" ]] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z "$port" ]]; then
    echo "$node did not start:"; cat "$log"; exit 1
  fi
  echo "$node listens on 127.0.0.1:$port (log: $log)"
  peers+=(--peer "$node=127.0.0.1:$port")
done

args=(--source "$(realpath "$clip")" "${peers[@]}" --network-dir "$network")
if [[ -n "${DEMO_SHOT:-}" ]]; then
  xvfb-run -a -s "-screen 0 1400x1000x24" "$build/src/app/shardex" "${args[@]}" --go \
    --screenshot "$DEMO_SHOT" --delay "${DEMO_DELAY:-8000}"
  echo "wrote $DEMO_SHOT"
else
  "$build/src/app/shardex" "${args[@]}"
fi
