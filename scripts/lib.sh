# Helpers shared by the scripts: sourced, not run.

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# Configures and builds one CMake preset (default or asan).
build_preset() {
  local preset=$1
  local extra=()
  # CI builds with warnings as errors; a user's build does not stop for a new compiler's warning.
  if [ "${CI:-}" = "true" ] || [ -n "${QUELM_WERROR:-}" ]; then extra+=(-DQUELM_WERROR=ON); fi
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
}

# Starts a private Xvfb on a free display number with a window manager and a terminal in it (a
# desktop for a companion to see and drive), and exports DISPLAY; everything started here is
# stopped by its id when the calling shell exits.
start_private_display() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  QUELM_DESKTOP_PIDS=($!)
  trap 'for pid in "${QUELM_DESKTOP_PIDS[@]}"; do kill "$pid" 2>/dev/null; done; wait 2>/dev/null' EXIT
  for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.05
  done
  export DISPLAY=":$n"
  if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    QUELM_DESKTOP_PIDS+=($!)
  fi
  if command -v xterm >/dev/null; then
    xterm -geometry 120x40+40+40 >/dev/null 2>&1 &
    QUELM_DESKTOP_PIDS+=($!)
  fi
  echo "private X display $DISPLAY (Xvfb pid ${QUELM_DESKTOP_PIDS[0]}) with a window manager and a terminal" >&2
}
