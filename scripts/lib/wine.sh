# Shared by the scripts that run Windows programs: the private Wine prefix
# under build/ and a headless X display. Source it; it defines functions only.

VELKIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

wine_binary() {
  if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64; else command -v wine; fi
}

# A quiet, hermetic prefix: no Mono or Gecko installers, no debug chatter but
# Wine's own diagnosis of a program it could not start.
export_wine_env() {
  export WINEPREFIX="${VELKIN_WINEPREFIX:-$VELKIN_ROOT/build/wine-prefix}"
  export WINEDEBUG=-all,err+winediag
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
}

# Creates the prefix once. Wine's mount manager maps COM1 to /dev/ttyS0 (the
# system console on some machines) and re-creates that mapping at every start,
# so the prefix runs without it: no COMn or LPTn reaches a host device, and one
# that a test names without a mapping of its own (a dosdevices/comN link)
# fails to open. Drive letters come from dosdevices and keep working.
ensure_wine_prefix() {
  export_wine_env
  [ -f "$WINEPREFIX/.velkin-no-host-ports" ] && return 0
  mkdir -p "$WINEPREFIX"
  "$(wine_binary)" wineboot -i >/dev/null 2>&1 || true
  "$(wine_binary)" reg add 'HKLM\System\CurrentControlSet\Services\MountMgr' \
    /v Start /t REG_DWORD /d 4 /f >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || "${WINESERVER:-/usr/lib/wine/wineserver64}" -w 2>/dev/null || true
  unmap_host_ports
  touch "$WINEPREFIX/.velkin-no-host-ports"
}

# Removes every COMn and LPTn name of the prefix, also those a run that was
# killed left behind.
unmap_host_ports() {
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]* "$WINEPREFIX"/dosdevices/lpt[0-9]*
}

# Makes the port NAME (COMn) of the prefix the host device DEVICE.
map_host_port() {
  ln -sfn "$2" "$WINEPREFIX/dosdevices/${1,,}"
}

# Starts a private Xvfb when there is no display and exports DISPLAY.
# The server picks a free display number itself and reports it once it
# accepts connections, so that two scripts starting at once, or a server of
# an earlier run that is still going away, can never be taken for ours.
# The server is stopped when the calling shell exits.
ensure_display() {
  [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1 && return 0
  local report number=""
  report=$(mktemp -u)
  mkfifo "$report"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$report" >/dev/null 2>&1 &
  VELKIN_XVFB_PID=$!
  read -r -t 20 number <"$report" || true
  rm -f "$report"
  if [ -z "$number" ]; then
    kill "$VELKIN_XVFB_PID" 2>/dev/null || true
    echo "could not start Xvfb" >&2
    return 1
  fi
  export DISPLAY=":$number"
  # The trap must not fail, or the exit status of the program run is lost.
  trap 'kill $VELKIN_XVFB_PID 2>/dev/null || true' EXIT
}

# For the runs that type on Velkin's keyboard (the end-to-end tests, the
# whole-program benchmarks, the headless run): a Wine prefix and a headless
# display of their own. Wine keeps one foreground window for all programs of
# a prefix, whatever their display, so another program there could take the
# keyboard from Velkin mid-message. Runs take turns on the prefix through a
# lock on descriptor 9, which the caller keeps from what it starts (9>&-).
# At exit the prefix's Wine server is ended before the display goes: a server
# that outlived its display would keep a desktop bound to it, and the next run
# in the prefix could not open a window.
enter_keying_session() {
  export VELKIN_WINEPREFIX=${VELKIN_WINEPREFIX:-$VELKIN_ROOT/build/wine-prefix-keying}
  mkdir -p "$(dirname "$VELKIN_WINEPREFIX")"
  exec 9>"$VELKIN_WINEPREFIX.lock"
  flock 9
  ensure_wine_prefix 9>&-
  start_keying_display
}

# The keying session's display, with its end: the prefix's Wine server first,
# then the display.
start_keying_display() {
  unset DISPLAY
  ensure_display 9>&- || return 1
  VELKIN_KEYING_DISPLAY=1
  trap end_keying_display EXIT
}

end_keying_display() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  kill "$VELKIN_XVFB_PID" 2>/dev/null || true
}

# Wine's messages when it could not start a program's window or desktop (on a
# loaded machine, now and then, right after a display came up).
WINE_START_FAILURE='no driver could be loaded|explorer process failed to start'
# Where the test command learns which tests ran once more.
WINE_RERUNS="$VELKIN_ROOT/build/wine-reruns.log"

# Runs a command that starts Windows programs, named `name` in the record.
# When it fails and its error output holds Wine's message that a program
# could not be started, it runs once more, and the rerun is recorded in
# $WINE_RERUNS. A failure of the program itself is never run again. In a
# keying session the rerun gets a new display and Wine server: one that came
# up unable to show a window stays so.
run_once_more_if_wine_failed_to_start() {
  local name=$1 errors status
  shift
  errors=$(mktemp)
  status=0
  "$@" 2>"$errors" || status=$?
  cat "$errors" >&2
  if [ $status -ne 0 ] && grep -qE "$WINE_START_FAILURE" "$errors"; then
    echo "Wine failed to start a program of $name: running it once more" >&2
    echo "$name" >>"$WINE_RERUNS"
    status=0
    if [ -n "${VELKIN_KEYING_DISPLAY:-}" ]; then
      end_keying_display
      start_keying_display || status=$?
    fi
    [ $status -ne 0 ] || "$@" || status=$?
  fi
  rm -f "$errors"
  return $status
}
