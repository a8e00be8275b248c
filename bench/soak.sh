#!/usr/bin/env bash
# Soak: quelmix-host streams a moving screen to quelmix-companion for a long while; the host's
# resident memory is printed every SAMPLE seconds so that growth shows. Not run in CI.
#
#   bench/soak.sh [minutes]          (default 30)
#
# Environment: BUILD (build directory, default ./build), HOST_BIN, COMPANION_BIN (the two
# programs), SAMPLE (seconds between samples, default 30), PORT (default 5391).
# Needs Xvfb and a program that keeps the screen moving (xterm running `yes`, else xeyes with
# the pointer moved by xdotool); pulseaudio is used when present, for the sound path.
set -euo pipefail

minutes=${1:-30}
build=${BUILD:-./build}
host_bin=${HOST_BIN:-$build/QuelmHost/quelmix-host}
companion_bin=${COMPANION_BIN:-$build/QuelmCompanion/quelmix-companion}
sample=${SAMPLE:-30}
port=${PORT:-5391}
work=$(mktemp -d)
pids=()

cleanup() {
  # Stopped one by one, newest first, each by its own pid.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

for bin in "$host_bin" "$companion_bin"; do
  [[ -x $bin ]] || { echo "missing $bin (set BUILD, HOST_BIN or COMPANION_BIN)" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "Xvfb is needed" >&2; exit 1; }

# An X server of our own, its number chosen by itself.
exec 3<> "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  display=$(head -n1 "$work/displayfd" 2>/dev/null || true)
  [[ -n $display ]] && break
  sleep 0.1
done
[[ -n ${display:-} ]] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$display

# Motion: a terminal scrolling without pause covers most of the screen with fresh text.
if command -v xterm >/dev/null; then
  xterm -geometry 200x60+0+0 -e sh -c 'yes "soak $(date +%s) ----------------------------------------"' &
  pids+=($!)
elif command -v xeyes >/dev/null && command -v xdotool >/dev/null; then
  xeyes -geometry 1800x1000+0+0 &
  pids+=($!)
  (while :; do xdotool mousemove $((RANDOM % 1900)) $((RANDOM % 1060)); sleep 0.05; done) &
  pids+=($!)
else
  echo "no motion source (xterm, or xeyes with xdotool): the screen stays still" >&2
fi

if command -v pulseaudio >/dev/null && ! pactl info >/dev/null 2>&1; then
  export PULSE_RUNTIME_PATH="$work/pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
  pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
    --load=module-null-sink --load=module-native-protocol-unix >"$work/pulse.log" 2>&1 &
  pids+=($!)
  sleep 1
fi

"$host_bin" --headless --allow-local --port "$port" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
pids+=($host_pid)
url=
for _ in $(seq 100); do
  if grep -q "^listening on 127\.0\.0\.1:$port;" "$work/host.out"; then
    url=$("$host_bin" --show-url --allow-local --port "$port" | grep -m1 '^quelmix://127\.0\.0\.1:' || true)
    break
  fi
  sleep 0.1
done
[[ -n $url ]] || { echo "the host gave no local URL:"; cat "$work/host.out" "$work/host.err"; exit 1; } >&2

seconds=$((minutes * 60))
"$companion_bin" "$url" --audio 128 --duration "$seconds" --stats-interval "$sample" \
  >"$work/companion.out" 2>&1 &
companion_pid=$!
pids+=($companion_pid)

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || echo gone; }
echo "soak: $minutes min, host pid $host_pid, sample every $sample s"
echo "elapsed_s host_rss_kib"
start=$(date +%s)
first=$(rss)
echo "0 $first"
while kill -0 "$companion_pid" 2>/dev/null; do
  sleep "$sample"
  now=$(date +%s)
  echo "$((now - start)) $(rss)"
done
last=$(rss)
echo "host RSS: start $first KiB, end $last KiB"
echo "--- companion (last lines)"
tail -n 5 "$work/companion.out"
