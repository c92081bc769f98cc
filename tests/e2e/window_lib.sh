# Sourced by the end-to-end scripts with their arguments VELMORA VELMORA-MACHINE FONTS.CONF (run
# inside xvfb-run): a fresh machine in a temporary folder removed at the end, and the real program
# started on it, driven by mouse and keyboard at the design's coordinates.
set -euo pipefail
velmora=$1 tool=$2 fonts=$3
work=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
m=(--machine "$work/machine")
ini="$work/machine/drives/C/WINDOWS/system32/drivers/config.ini"

# A fresh server with the program's own files in its drivers folder.
install_machine() {
  "$tool" install "${m[@]}" >/dev/null
  "$tool" install-program "${m[@]}" >/dev/null
}

# Starts the program (arguments: extra NAME=VALUE environment) and waits for its window and for
# start-up to finish (the site-account group marked as made); sets pid, wid, WIDTH, HEIGHT, menu.
start_window() {
  env "$@" VELMORA_MACHINE="$work/machine" FONTCONFIG_FILE="$fonts" QT_QPA_PLATFORM=xcb "$velmora" &
  pid=$!
  wid=$(timeout 30 xdotool search --sync --name '^Velmora-Quorrin$' | head -n 1) || fail "no window appeared"
  for _ in $(seq 100); do
    grep -q 'USRGroup=True' "$ini" 2>/dev/null && break
    sleep 0.1
  done
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  menu=$((HEIGHT - 441)) # the menu bar above the client area
}

# Clicks at client coordinates (pixels of the design's twips).
click() { xdotool mousemove --window "$wid" "$1" $((menu + $2)) click 1; sleep 0.3; }
# Empties the focused text box.
erase() { xdotool key --window "$wid" End; for _ in $(seq 30); do xdotool key --window "$wid" BackSpace; done; }
