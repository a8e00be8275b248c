#!/usr/bin/env bash
# Streaming figures on Wayland: quelmix-host on a private headless compositor (1920x1080, mutter
# from tests/wayland/headless-mutter, sway from tests/wayland/headless-sway) while the tests'
# motion window (tests/wayland/MotionClient.cpp) scrolls its picture 60 times a second,
# quelmix-companion asking for 60 fps at
# 10 Mbit/s without decoding. With both, one compositor after the other.
#
#   bench/wayland-figures.sh [mutter|sway|both, default both] [seconds of motion, default 10]
#
# Needs a build (BUILD, default build/) with quelmix-host, quelmix-companion and
# quelm-wayland-motion-client, and mutter, pipewire, wireplumber, sway (scripts/install-deps
# --dev); sway's session runs as the user nobody, so run this as root for sway.
# Prints per compositor: frames per second reaching the companion (and those the window drew),
# host CPU and the compositor's CPU (one core = 100 %) in motion (the window's too) and on a
# still screen, and the host's latency from noticing a change to the encoded frame.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build}
which=${1:-both}
seconds=${2:-10}
case $which in
  mutter | sway) compositors=("$which") ;;
  both) compositors=(mutter sway) ;;
  *) echo "usage: $0 [mutter|sway|both] [seconds]" >&2; exit 2 ;;
esac
[ "$seconds" -ge 5 ] 2>/dev/null || { echo "at least 5 seconds" >&2; exit 2; }
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/quelmix-wayland-figures-XXXXXX)
pids=()

stop_all() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# CPU over $1 seconds of each "label pid" pair that follows.
cpu_over() {
  local span=$1 labels=() ids=() before=() i
  shift
  while [ $# -gt 0 ]; do labels+=("$1"); ids+=("$2"); shift 2; done
  for i in "${!ids[@]}"; do before[i]=$(ticks "${ids[i]}"); done
  sleep "$span"
  for i in "${!ids[@]}"; do
    [ "$i" -gt 0 ] && printf ', '
    awk -v b="${before[i]}" -v a="$(ticks "${ids[i]}")" -v s="$span" -v hz="$hz" \
      -v label="${labels[i]}" 'BEGIN { printf "%s %.1f %%", label, (a - b) * 100 / hz / s }'
  done
}

# Starts tests/wayland/headless-NAME; sets session_env, session_user (empty: ours) and
# compositor (its pid).
start_session() {
  local dir=$1 key value rest
  "$here/../tests/wayland/headless-$name" 1920x1080 >"$dir/session" 2>"$dir/session.log" &
  pids+=($!)
  for _ in $(seq 300); do grep -q '^ready' "$dir/session" && break; sleep 0.1; done
  grep -q '^ready' "$dir/session" || { cat "$dir/session.log" >&2; return 1; }
  session_env=()
  session_user=""
  compositor=""
  while read -r key value rest; do
    case $key in
      env) session_env+=("$value") ;;
      user) session_user=$value ;;
      pid) compositor=$rest ;;
    esac
  done <"$dir/session"
}

# The motion window, full screen, as the session's user.
start_client() {
  local dir=$1 as_user=()
  mkdir -p "$dir/client"
  if [ -n "$session_user" ]; then
    chmod 711 "$work" "$dir"
    chown "$session_user" "$dir/client"
    as_user=(setpriv "--reuid=$(id -u "$session_user")" "--regid=$(id -g "$session_user")"
      --clear-groups --)
  fi
  "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$dir/client" XDG_CONFIG_HOME="$dir/client" \
    "${session_env[@]}" "$build/tests/quelm-wayland-motion-client" >"$dir/client.out" 2>&1 &
  pids+=($!); client=$!
  for _ in $(seq 100); do grep -q '^ready' "$dir/client.out" && return 0; sleep 0.1; done
  echo "the motion window did not show on $name" >&2; cat "$dir/client.out" >&2; return 1
}

# The host, headless on loopback; sets host and url.
start_host() {
  local dir=$1 listening="" port
  host_env=(PATH=/usr/bin:/bin HOME="$dir" XDG_DATA_HOME="$dir" "${session_env[@]}")
  env -i "${host_env[@]}" "$build/QuelmHost/quelmix-host" --headless --allow-local --port 0 \
    >"$dir/host.out" 2>"$dir/host.log" &
  pids+=($!); host=$!
  # The host prints its port; the URL with the secret comes from --show-url.
  for _ in $(seq 100); do
    listening=$(grep -m1 '^listening on 127.0.0.1:' "$dir/host.out" || true)
    [ -n "$listening" ] && break; sleep 0.1
  done
  [ -n "$listening" ] || { echo "host did not start on $name" >&2; cat "$dir/host.log" >&2; return 1; }
  port=${listening#listening on 127.0.0.1:}
  url=$(env -i "${host_env[@]}" "$build/QuelmHost/quelmix-host" --show-url --allow-local \
    --port "${port%%;*}" 2>>"$dir/host.log" | grep -m1 '^quelmix://127.0.0.1' || true)
}

figures() {
  name=$1
  local dir="$work/$name" companion motion still stats fps latency drew_before drew
  mkdir -p "$dir"
  start_session "$dir"
  start_client "$dir"
  sleep 1
  start_host "$dir"
  "$build/QuelmCompanion/quelmix-companion" "$url" -s 1920 -r 60 -b 10 --no-decode \
    -T $((seconds + 12)) >"$dir/companion.out" 2>&1 &
  pids+=($!); companion=$!
  sleep 2
  drew_before=$(grep -c '^drew' "$dir/client.out" || true)
  motion=$(cpu_over $((seconds - 2)) host "$host" "$name" "$compositor" window "$client")
  drew=$(grep '^drew' "$dir/client.out" | tail -n +$((drew_before + 1)) |
    awk '{ s += $2; n++ } END { if (n) printf "%.1f", s / n; else print "-" }')
  kill "$client"
  # mutter keeps working for a few seconds after the window goes.
  sleep 6
  still=$(cpu_over 5 host "$host" "$name" "$compositor")
  wait "$companion" || true
  stop_all

  # The first two seconds are the connection's start.
  stats=$(grep '^frame=' "$dir/companion.out" | sed -n "3,${seconds}p")
  fps=$(echo "$stats" | sed -n 's/.* fps=\([0-9.]*\).*/\1/p' |
    awk '{ s += $1; n++ } END { if (n) printf "%.1f", s / n; else print "-" }')
  latency=$(grep 'video latency:' "$dir/host.log" | head -n "$((seconds / 5))" | tail -n1 |
    sed 's/.*video latency: //')
  echo "== 1920x1080 on headless $name, 60 fps and 10 Mbit/s requested"
  echo "  companion: ${fps} fps (the window drew ${drew} frames/s)"
  echo "  CPU in motion: ${motion}; still: ${still}"
  echo "  host latency: ${latency:-none logged}"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for name in "${compositors[@]}"; do figures "$name"; done
