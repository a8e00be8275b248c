# Helpers shared by the scripts: sourced, not run.

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# Configures and builds one CMake preset (default or asan).
build_preset() {
  local preset=$1
  local extra=()
  # Paths below the checkout are hashed relative to it, so clones share ccache's results.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(repo_root)}"
  # Debug info would otherwise put the build folder into every hash.
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
  # CI builds with warnings as errors; a user's build does not stop for a new compiler's warning.
  if [ "${CI:-}" = "true" ] || [ -n "${QUELM_WERROR:-}" ]; then extra+=(-DQUELM_WERROR=ON); fi
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
}

# Starts a private Xvfb and exports DISPLAY. Xvfb picks a free display number itself and
# reports it through a pipe (-displayfd), so nothing is guessed. It runs in a session of its own,
# so a Ctrl-C meant for the host does not end the X server under it. With --desktop a window
# manager and a terminal run in it too, so a companion has a desktop to see and drive.
# Everything started here is stopped when the calling shell exits, however it ends (INT, TERM
# and HUP end it through its EXIT trap). Fails (and stops) when the server dies or says nothing
# in time.
start_private_display() {
  local dir fifo number=""
  dir=$(mktemp -d /tmp/quelm-xvfb.XXXXXX)
  fifo="$dir/displayfd"
  mkfifo "$fifo"
  QUELM_DESKTOP_PIDS=()
  QUELM_XVFB_DIR=$dir
  # A signal without a trap would end the shell without its EXIT trap.
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  trap stop_private_display EXIT
  setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset \
    3>"$fifo" >"$dir/xvfb.log" 2>&1 &
  QUELM_DESKTOP_PIDS+=($!)
  # The read ends at the number, at end of file when Xvfb dies, or after 15 s.
  read -r -t 15 number <"$fifo" || true
  if ! [[ "$number" =~ ^[0-9]+$ ]] || ! kill -0 "${QUELM_DESKTOP_PIDS[0]}" 2>/dev/null; then
    echo "Xvfb did not start:" >&2
    tail -n 20 "$dir/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=":$number"
  local what="private X display $DISPLAY (Xvfb pid ${QUELM_DESKTOP_PIDS[0]})"
  if [ "${1:-}" = "--desktop" ]; then
    local terminal=""
    if command -v xterm >/dev/null; then
      terminal="xterm -geometry 120x40+40+40"
    fi
    if command -v openbox >/dev/null; then
      # The terminal starts once openbox manages windows, so that it has the focus; it stays
      # in openbox's process group, and its pid comes back through a file in case it leaves.
      local startup=true
      if [ -n "$terminal" ]; then
        startup="$dir/startup"
        printf '#!/bin/sh\n%s >/dev/null 2>&1 &\necho $! >"%s"\n' "$terminal" \
          "$dir/terminal.pid" >"$startup"
        chmod +x "$startup"
      fi
      setsid openbox --startup "$startup" >/dev/null 2>&1 &
      QUELM_DESKTOP_PIDS+=($!)
    elif [ -n "$terminal" ]; then
      setsid $terminal >/dev/null 2>&1 &
      QUELM_DESKTOP_PIDS+=($!)
    fi
    what+=" with a window manager and a terminal"
  fi
  echo "$what" >&2
}

# True while a process of one of the given process groups (or one of the given pids) lives;
# zombies do not count. Reads /proc, so it needs nothing a minimal system lacks.
desktop_alive() {
  local stat line pid fields wanted
  for stat in /proc/[0-9]*/stat; do
    { read -r line <"$stat"; } 2>/dev/null || continue
    pid=${line%% *}
    # After the command name: state, parent, process group.
    read -r -a fields <<<"${line##*) }"
    [ "${fields[0]}" != Z ] || continue
    for wanted in "$@"; do
      if [ "$wanted" = "-${fields[2]}" ] || [ "$wanted" = "$pid" ]; then
        return 0
      fi
    done
  done
  return 1
}

# Stops what start_private_display started: every process of its process groups (each was
# started in a session of its own, the terminal inside openbox's), TERM first and KILL after
# 5 s, then its folder. Runs every step whatever fails, even under set -e.
stop_private_display() {
  local status=$? targets=() pid
  set +e
  for pid in "${QUELM_DESKTOP_PIDS[@]}"; do
    targets+=("-$pid")
  done
  pid=$(cat "$QUELM_XVFB_DIR/terminal.pid" 2>/dev/null)
  [ -n "$pid" ] && targets+=("$pid")
  if [ ${#targets[@]} -gt 0 ]; then
    kill -TERM -- "${targets[@]}" 2>/dev/null
    for _ in $(seq 50); do
      desktop_alive "${targets[@]}" || break
      sleep 0.1
    done
    desktop_alive "${targets[@]}" && kill -KILL -- "${targets[@]}" 2>/dev/null
    wait "${QUELM_DESKTOP_PIDS[@]}" 2>/dev/null
  fi
  rm -rf "$QUELM_XVFB_DIR"
  return "$status"
}
