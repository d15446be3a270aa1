#!/usr/bin/env bash
# Runs a Windows test program with one COM name of the private Wine prefix
# mapped to a new pseudo-terminal for as long as the program runs; the
# program finds the name in VELKIN_PTY_PORT.
#   with_pty_port.sh COM5 program.exe [arguments]
set -euo pipefail
port=$1
shift
source "$(dirname "$0")/../../scripts/lib/wine.sh"
ensure_wine_prefix
export VELKIN_PTY_PORT=$port
exec python3 - "$WINEPREFIX/dosdevices/${port,,}" "$(wine_binary)" "$@" <<'PYTHON'
import os, pty, subprocess, sys

link, command = sys.argv[1], sys.argv[2:]
master, slave = pty.openpty()
if os.path.lexists(link):
    os.remove(link)
os.symlink(os.ttyname(slave), link)
try:
    sys.exit(subprocess.run(command).returncode)
finally:
    os.remove(link)
PYTHON
