# A private PulseAudio server for a test run: its own runtime folder, one null
# sink, no system-wide daemon and no autospawn; Wine's programs started from
# the calling shell play into it. Source it; it defines functions only.

# The sink, and how to load it again after a test has unloaded it.
export VELKIN_PULSE_SINK=velkin_sink
export VELKIN_PULSE_SINK_ARGUMENTS="sink_name=$VELKIN_PULSE_SINK rate=48000 format=s16le channels=2"

# Starts the server, points the environment at it and ends it when the calling
# shell exits (after whatever that shell's exit trap already did).
start_private_pulse() {
  VELKIN_PULSE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velkin-pulse.XXXXXX")
  mkdir -p "$VELKIN_PULSE_DIR/home" "$VELKIN_PULSE_DIR/runtime" "$VELKIN_PULSE_DIR/state"
  printf 'autospawn = no\n' >"$VELKIN_PULSE_DIR/client.conf"
  export PULSE_SERVER="unix:$VELKIN_PULSE_DIR/native"
  export PULSE_CLIENTCONFIG="$VELKIN_PULSE_DIR/client.conf"
  HOME="$VELKIN_PULSE_DIR/home" XDG_RUNTIME_DIR="$VELKIN_PULSE_DIR/runtime" \
    PULSE_RUNTIME_PATH="$VELKIN_PULSE_DIR/runtime" PULSE_STATE_PATH="$VELKIN_PULSE_DIR/state" \
    pulseaudio --daemonize=no --system=no -n --use-pid-file=no --exit-idle-time=-1 \
      --disallow-exit=yes --log-target=stderr --log-level=error \
      -L "module-native-protocol-unix socket=$VELKIN_PULSE_DIR/native auth-anonymous=1" \
      -L "module-null-sink $VELKIN_PULSE_SINK_ARGUMENTS" </dev/null >"$VELKIN_PULSE_DIR/server.log" 2>&1 9>&- &
  VELKIN_PULSE_PID=$!
  local previous
  previous=$(trap -p EXIT | sed -E "s/^trap -- '(.*)' EXIT$/\1/")
  # shellcheck disable=SC2064
  trap "kill $VELKIN_PULSE_PID 2>/dev/null; wait $VELKIN_PULSE_PID 2>/dev/null; rm -rf '$VELKIN_PULSE_DIR'; $previous" EXIT
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    pactl info >/dev/null 2>&1 && return 0
    kill -0 "$VELKIN_PULSE_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "could not start a private PulseAudio server:" >&2
  cat "$VELKIN_PULSE_DIR/server.log" >&2
  return 1
}
