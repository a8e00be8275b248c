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

# Starts a private Xvfb on a free display number and exports DISPLAY; the server is stopped by
# its id when the calling shell exits.
start_private_display() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  QUELM_XVFB_PID=$!
  trap 'kill "$QUELM_XVFB_PID" 2>/dev/null; wait "$QUELM_XVFB_PID" 2>/dev/null' EXIT
  for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.05
  done
  export DISPLAY=":$n"
  echo "private X display $DISPLAY (Xvfb pid $QUELM_XVFB_PID)" >&2
}
