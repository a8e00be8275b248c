#!/usr/bin/env bash
# Streaming figures on GNOME's Wayland: quelmix-host on a private headless mutter (1920x1080)
# while the tests' client window scrolls its picture every frame, quelmix-companion asking for
# 60 fps without decoding.
#
#   bench/mutter-figures.sh [seconds of motion, default 10]
#
# Needs a build (BUILD, default build/) with quelmix-host, quelmix-companion and
# quelm-wayland-test-client, and mutter, pipewire, wireplumber (scripts/install-deps --dev).
# Prints: frames per second reaching the companion, host CPU and mutter's CPU (one core = 100 %)
# in motion and on a still screen, and the host's latency from noticing a change to the encoded
# frame.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build}
seconds=${1:-10}
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/quelmix-mutter-figures-XXXXXX)
pids=()

cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
cpu_over() {
  local before_a before_b after_a after_b
  before_a=$(ticks "$1"); before_b=$(ticks "$2"); sleep "$3"
  after_a=$(ticks "$1"); after_b=$(ticks "$2")
  awk -v b="$before_a" -v a="$after_a" -v c="$before_b" -v d="$after_b" -v s="$3" -v hz="$hz" \
    'BEGIN { printf "host %.1f %%, mutter %.1f %%", (a - b) * 100 / hz / s, (d - c) * 100 / hz / s }'
}

"$here/../tests/wayland/headless-mutter" 1920x1080 >"$work/session" 2>"$work/session.log" &
pids+=($!)
for _ in $(seq 200); do grep -q '^ready' "$work/session" && break; sleep 0.1; done
grep -q '^ready' "$work/session" || { cat "$work/session.log" >&2; exit 1; }
session_env=()
while read -r key value; do
  [ "$key" = env ] && session_env+=("$value")
done <"$work/session"
mutter=$(awk '/^pid mutter/ { print $3 }' "$work/session")

env -i PATH=/usr/bin:/bin HOME="$work" XDG_CONFIG_HOME="$work" GDK_BACKEND=wayland "${session_env[@]}" \
  "$build/tests/quelm-wayland-test-client" --animate >/dev/null 2>&1 &
pids+=($!); client=$!
sleep 1
host_env=(PATH=/usr/bin:/bin HOME="$work" XDG_DATA_HOME="$work" "${session_env[@]}")
env -i "${host_env[@]}" "$build/QuelmHost/quelmix-host" --headless --allow-local --port 0 \
  >"$work/host.out" 2>"$work/host.log" &
pids+=($!); host=$!
# The host prints its port; the URL with the secret comes from --show-url.
listening=""
for _ in $(seq 100); do
  listening=$(grep -m1 '^listening on 127.0.0.1:' "$work/host.out" || true)
  [ -n "$listening" ] && break; sleep 0.1
done
[ -n "$listening" ] || { echo "host did not start" >&2; cat "$work/host.log" >&2; exit 1; }
port=${listening#listening on 127.0.0.1:}
url=$(env -i "${host_env[@]}" "$build/QuelmHost/quelmix-host" --show-url --allow-local \
  --port "${port%%;*}" | grep -m1 '^quelmix://127.0.0.1' || true)

"$build/QuelmCompanion/quelmix-companion" "$url" -s 1920 -r 60 -b 10 --no-decode \
  -T $((seconds + 9)) >"$work/companion.out" 2>&1 &
pids+=($!); companion=$!
sleep 2
motion=$(cpu_over "$host" "$mutter" $((seconds - 2)))
kill "$client"
sleep 3
still=$(cpu_over "$host" "$mutter" 5)
wait "$companion" || true

stats=$(grep '^frame=' "$work/companion.out" | sed -n "3,${seconds}p")
fps=$(echo "$stats" | sed -n 's/.* fps=\([0-9.]*\).*/\1/p' |
  awk '{ s += $1; n++ } END { if (n) printf "%.1f", s / n; else print "-" }')
latency=$(grep 'video latency:' "$work/host.log" | head -n "$((seconds / 5))" | tail -n1 |
  sed 's/.*video latency: //')
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== 1920x1080 on headless mutter, 60 fps and 10 Mbit/s requested"
echo "  companion: ${fps} fps"
echo "  CPU in motion: ${motion}; still: ${still}"
echo "  host latency: ${latency:-none logged}"
