#!/usr/bin/env bash
# Streaming figures: quelmix-host with quelmix-companion beside ffmpeg's x11grab + libx264 on
# the same full-screen motion, on private Xvfb servers of three sizes.
#
#   bench/stream-figures.sh [seconds of motion per run, default 10] [WxH ...]
#
# Needs a build (BUILD, default build/) with quelmix-host, quelmix-companion and quelmix-motion,
# Xvfb, and ffmpeg (Debian: apt-get install ffmpeg; it is only the yardstick here).
# Per size it prints: frames per second reaching the companion, the video bit rate against the
# request, host CPU (one core = 100 %) in motion and on a still screen after the refinements,
# the host's latency from noticing a change to the encoded frame (and from reading the screen),
# the host's peak memory, and ffmpeg's CPU on the same content.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build}
seconds=${1:-10}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1280x720 1920x1080 2560x1440)
fps=60
mbps=10
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/quelmix-figures-XXXXXX)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

for tool in "$build/QuelmHost/quelmix-host" "$build/QuelmCompanion/quelmix-companion" \
            "$build/bench/quelmix-motion"; do
  [ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "Xvfb missing" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg missing (apt-get install ffmpeg)" >&2; exit 1; }

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# CPU of process $1 over $2 seconds, in percent of one core.
cpu_over() {
  local before after
  before=$(ticks "$1"); sleep "$2"; after=$(ticks "$1")
  awk -v b="$before" -v a="$after" -v s="$2" -v hz="$hz" 'BEGIN { printf "%.1f", (a - b) * 100 / hz / s }'
}

start_xvfb() {  # size -> sets display
  local out="$work/displayfd"
  rm -f "$out"
  Xvfb -screen 0 "${1}x24" -nolisten tcp -noreset -displayfd 4 4>"$out" >/dev/null 2>&1 &
  pids+=($!); xvfb_pid=$!
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  display=":$(head -n1 "$out")"
}

start_motion() {
  DISPLAY=$display "$build/bench/quelmix-motion" "$fps" &
  pids+=($!); motion_pid=$!
}

run_size() {
  local size=$1 width=${1%x*} height=${1#*x}
  local edge=$(( width > height ? width : height ))
  start_xvfb "$size"
  start_motion
  sleep 1

  # The host, headless, local connections allowed, with a private data folder.
  local home="$work/home-$size"
  mkdir -p "$home"
  local environment=(PATH=/usr/bin:/bin DISPLAY="$display" HOME="$home" XDG_DATA_HOME="$home"
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent)
  env -i "${environment[@]}" "$build/QuelmHost/quelmix-host" --headless --allow-local --port 0 \
    >"$work/host-$size.out" 2>"$work/host-$size.log" &
  pids+=($!); local host=$!
  # The host prints its port; the URL with the secret comes from --show-url.
  local listening="" url=""
  for _ in $(seq 50); do
    listening=$(grep -m1 '^listening on 127.0.0.1:' "$work/host-$size.out" || true)
    [ -n "$listening" ] && break; sleep 0.1
  done
  [ -n "$listening" ] || { echo "host did not start" >&2; cat "$work/host-$size.log" >&2; exit 1; }
  local port=${listening#listening on 127.0.0.1:}
  url=$(env -i "${environment[@]}" "$build/QuelmHost/quelmix-host" --show-url --allow-local \
    --port "${port%%;*}" | grep -m1 '^quelmix://127.0.0.1' || true)

  "$build/QuelmCompanion/quelmix-companion" "$url" -s "$edge" -r "$fps" -b "$mbps" \
    -T $((seconds + 9)) >"$work/companion-$size.out" 2>&1 &
  pids+=($!); local companion=$!
  sleep 2
  local host_cpu; host_cpu=$(cpu_over "$host" $((seconds - 2)))
  kill "$motion_pid"
  sleep 3   # the last picture's refinements
  local host_still; host_still=$(cpu_over "$host" 5)
  wait "$companion" || true
  local memory; memory=$(awk '/VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$host/status")
  kill "$host"; wait "$host" 2>/dev/null || true

  # Statistics lines of the motion part (after the first two seconds).
  local stats
  stats=$(grep '^frame=' "$work/companion-$size.out" | sed -n "3,${seconds}p")
  local frames_per_second bitrate
  frames_per_second=$(echo "$stats" | sed -n 's/.* fps=\([0-9.]*\).*/\1/p' |
    awk '{ s += $1; n++ } END { if (n) printf "%.1f", s / n; else print "-" }')
  bitrate=$(echo "$stats" | sed -n 's/.* rate=\([0-9.]*\)kbit.*/\1/p' |
    awk '{ s += $1; n++ } END { if (n) printf "%.0f", s / n; else print "-" }')
  local latency
  latency=$(grep 'video latency:' "$work/host-$size.log" | head -n "$((seconds / 5))" | tail -n1 |
    sed 's/.*video latency: //')

  # ffmpeg on the same content.
  start_motion
  sleep 1
  ffmpeg -loglevel error -f x11grab -framerate "$fps" -video_size "$size" -i "$display" \
    -c:v libx264 -preset ultrafast -tune zerolatency -pix_fmt yuv420p -f null - \
    </dev/null >/dev/null 2>&1 &
  pids+=($!); local ffmpeg_pid=$!
  sleep 2
  local ffmpeg_cpu; ffmpeg_cpu=$(cpu_over "$ffmpeg_pid" $((seconds - 2)))
  kill "$motion_pid"
  sleep 3
  local ffmpeg_still; ffmpeg_still=$(cpu_over "$ffmpeg_pid" 5)
  kill "$ffmpeg_pid"; wait "$ffmpeg_pid" 2>/dev/null || true
  kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true

  printf '%s\n' \
    "== $size at ${fps} fps, ${mbps} Mbit/s requested" \
    "  companion: ${frames_per_second} fps, ${bitrate} kbit/s" \
    "  host CPU: ${host_cpu} % in motion, ${host_still} % still; peak memory ${memory} MB" \
    "  host latency: ${latency:-none logged}" \
    "  ffmpeg x11grab+libx264 ultrafast: ${ffmpeg_cpu} % in motion, ${ffmpeg_still} % still" \
    "  host / ffmpeg CPU in motion: $(awk -v h="$host_cpu" -v f="$ffmpeg_cpu" 'BEGIN { if (f > 0) printf "%.2f", h / f; else print "-" }')"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for size in "${sizes[@]}"; do
  run_size "$size"
done
