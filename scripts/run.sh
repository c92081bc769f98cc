#!/usr/bin/env bash
# Sets up, builds, installs the default emulated machine on first use and opens the window.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The window needs a display; say so instead of letting Qt abort. A platform named in
# QT_QPA_PLATFORM (vnc, offscreen, ...) brings its own.
if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): run it in an X or Wayland session, or with QT_QPA_PLATFORM=vnc and a VNC viewer on port 5900." >&2
  exit 2
fi
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
export FONTCONFIG_FILE="$top/resources/fonts/fonts.conf"
machine=${VELMORA_MACHINE:-${XDG_DATA_HOME:-$HOME/.local/share}/velmora/machine}
tool="$top/build/tools/velmora-machine/velmora-machine"
if [ ! -e "$machine/machine.db" ]; then
  # First use: a fresh server, then the program's own installation step on it.
  "$tool" install --machine "$machine"
  "$tool" install-program --machine "$machine"
fi
export VELMORA_MACHINE="$machine"
exec "$top/build/src/app/velmora"
