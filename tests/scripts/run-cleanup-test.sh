#!/usr/bin/env bash
# scripts/run on a machine without a display leaves nothing of its private desktop behind
# (Xvfb, openbox, the terminal, the host), whichever way it ends: INT or TERM to the script
# alone or to its process group, or the host ending by itself.
#   tests/scripts/run-cleanup-test.sh HOST_BINARY
# Exits 77 (skipped) without Xvfb.
set -uo pipefail
host=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v Xvfb >/dev/null || { echo "Xvfb is not installed"; exit 77; }

work=$(mktemp -d /tmp/quelm-run-test.XXXXXX)
failures=0
script_pid=""

# Every process started by the run under test carries this mark in its environment.
mark="QUELM_RUN_TEST=$$-$RANDOM"

# Pids of live processes carrying the mark, zombies left out.
marked() {
  local file pid line fields
  for file in $(grep -lzx -- "$mark" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${file#/proc/}
    pid=${pid%/environ}
    { read -r line <"/proc/$pid/stat"; } 2>/dev/null || continue
    read -r -a fields <<<"${line##*) }"
    [ "${fields[0]}" != Z ] && echo "$pid"
  done
}

cleanup() {
  [ -n "$script_pid" ] && kill -KILL -- "-$script_pid" 2>/dev/null
  for pid in $(marked); do
    kill -KILL "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts scripts/run in a process group of its own (job control), as a terminal would.
start() {
  local name=$1
  shift
  set -m
  env -u DISPLAY "$mark" PATH="$path" QUELM_HOST="$host" HOME="$work/$name" XDG_DATA_HOME="$work/$name" \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    bash "$root/scripts/run" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  script_pid=$!
  set +m
}

# Waits up to `seconds` for the script to end.
ended_within() {
  local seconds=$1
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$script_pid" 2>/dev/null || { wait "$script_pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  return 1
}

check() {
  local name=$1 left
  if ! ended_within 20; then
    echo "FAIL $name: scripts/run did not end"
    failures=$((failures + 1))
    cleanup_run
    return
  fi
  left=$(marked)
  if [ -n "$left" ]; then
    echo "FAIL $name: left running:"
    ps -o pid,ppid,pgid,args -p "$(echo $left | tr ' ' ,)"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
  cleanup_run
}

cleanup_run() {
  kill -KILL -- "-$script_pid" 2>/dev/null
  for pid in $(marked); do
    kill -KILL "$pid" 2>/dev/null
  done
  wait "$script_pid" 2>/dev/null
  script_pid=""
}

# Starts the host on the private desktop and signals once it listens.
signalled() {
  local name=$1 signal=$2 target=$3
  start "$name" --allow-local --port 0
  for _ in $(seq 300); do
    grep -q '^listening on 127.0.0.1:' "$work/$name.out" 2>/dev/null && break
    sleep 0.1
  done
  if ! grep -q '^listening on 127.0.0.1:' "$work/$name.out"; then
    echo "FAIL $name: the host did not start"
    cat "$work/$name.err"
    failures=$((failures + 1))
    cleanup_run
    return
  fi
  # The terminal has run (and written its pid) before the signal.
  for _ in $(seq 100); do
    [ -z "$terminal_ran" ] || [ -e "$terminal_ran" ] && break
    sleep 0.1
  done
  if [ "$target" = group ]; then
    kill "-$signal" -- "-$script_pid"
  else
    kill "-$signal" "$script_pid"
  fi
  check "$name"
}

path=$PATH
terminal_ran=""
signalled int-to-script INT script
signalled term-to-script TERM script
signalled int-to-group INT group
signalled term-to-group TERM group

# As on a minimal system where the terminal cannot start: it has ended before the cleanup.
mkdir -p "$work/bin"
printf '#!/bin/sh\ntouch "%s"\nexit 1\n' "$work/terminal-ran" >"$work/bin/xterm"
chmod +x "$work/bin/xterm"
path="$work/bin:$PATH"
terminal_ran="$work/terminal-ran"
signalled terminal-gone INT script
path=$PATH
terminal_ran=""

# The host ends by itself: --show-url prints the URL and exits.
start host-exits --show-url --allow-local
check host-exits
grep -q '^quelmix://127.0.0.1:5290/#t=' "$work/host-exits.out" ||
  { echo "FAIL host-exits: no URL printed"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ]
