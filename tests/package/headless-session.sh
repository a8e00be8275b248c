#!/usr/bin/env bash
# Run inside the install test's chroot as an ordinary user: a private Xvfb painted one colour,
# a headless host on it that admits local companions, and quelmix-companion writing what it
# receives as a PNG. Fails unless the companion finishes well and the host ends with status 0.
# Everything started here is stopped by its pid before the script ends.
#
#   headless-session.sh OUTPUT.png
set -euo pipefail
png=$1
dir=$(mktemp -d)
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$dir"' EXIT

mkfifo "$dir/displayfd"
# -noreset: the painted background outlives xsetroot's connection.
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -noreset \
  3>"$dir/displayfd" >"$dir/xvfb.log" 2>&1 &
pids+=($!)
number=""
read -r -t 15 number <"$dir/displayfd" || true
if ! [[ "$number" =~ ^[0-9]+$ ]]; then
  echo "headless-session: Xvfb did not start" >&2
  cat "$dir/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$number"
xsetroot -solid '#3366cc'

# On a terminal, as someone trying it by hand would run it: the host prints its URL there.
script -qfec "echo \$\$ >$dir/host.pid; exec quelmix-host --headless --allow-local --port 0" \
  /dev/null >"$dir/host.out" 2>&1 &
session=$!
pids+=($session)
url=""
for _ in $(seq 150); do
  url=$(grep -aom1 'quelmix://127\.0\.0\.1:[0-9]*/#t=[^[:space:]"]*' "$dir/host.out" || true)
  if [ -n "$url" ]; then break; fi
  sleep 0.2
done
if [ -z "$url" ]; then
  echo "headless-session: the host printed no local URL:" >&2
  tr -d '\r' <"$dir/host.out" | tail -n 20 >&2
  exit 1
fi

companion=0
quelmix-companion "$url" -o "$png" -T 3 -q >"$dir/companion.out" 2>&1 || companion=$?
kill -TERM "$(cat "$dir/host.pid")"
host=0
wait "$session" || host=$?
pids=("${pids[@]:0:1}")
if [ "$companion" -ne 0 ] || [ "$host" -ne 0 ] || [ ! -s "$png" ]; then
  echo "headless-session: companion $companion, host $host" >&2
  cat "$dir/companion.out" >&2
  tr -d '\r' <"$dir/host.out" | grep -v '█' | tail -n 20 >&2
  exit 1
fi
grep -a summary "$dir/companion.out" >&2 || true
