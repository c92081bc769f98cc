#!/usr/bin/env bash
# End to end: the real velmora binary under Xvfb, with a stand-in xdg-open first on PATH that records
# what it was given. The help menu's two items, chosen with the keyboard, hand the maker's web page
# and the help-request mail link to the desktop.
# Usage: help_menu_opens.sh VELMORA VELMORA-MACHINE FONTS.CONF  (run inside xvfb-run)
source "$(dirname "$0")/../e2e/window_lib.sh" "$@"
fail() { echo "FAIL: $*"; [ -f "$work/opened" ] && cat "$work/opened"; exit 1; }
install_machine

mkdir "$work/bin"
cat > "$work/bin/xdg-open" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$*" >> "$work/opened"
SCRIPT
chmod +x "$work/bin/xdg-open"

unset BROWSER DEFAULT_BROWSER XDG_CURRENT_DESKTOP KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID DESKTOP_SESSION
start_window PATH="$work/bin:$PATH"
xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowfocus --sync "$wid"

opened() { [ -f "$work/opened" ] && wc -l < "$work/opened" || echo 0; }
choose() { # $1: how many items down from the first
  xdotool key --window "$wid" alt+h
  sleep 0.5
  for _ in $(seq "$1"); do xdotool key --window "$wid" Down; sleep 0.1; done
  xdotool key --window "$wid" Return
}
choose 0
for _ in $(seq 50); do [ "$(opened)" -ge 1 ] && break; sleep 0.1; done
choose 1
for _ in $(seq 50); do [ "$(opened)" -ge 2 ] && break; sleep 0.1; done

[ "$(opened)" -eq 2 ] || fail "xdg-open ran $(opened) times, expected 2"
[ "$(sed -n 1p "$work/opened")" = "http://www.velmora.example" ] || fail "web page"
[ "$(sed -n 2p "$work/opened")" = \
  "mailto:support@velmora.example?subject=velmora-net%20help&Body=%E4%BD%BF%E7%94%A8%E6%AD%A4%E8%BD%AF%E4%BB%B6%E9%81%87%E5%88%B0%EF%BC%9A****%E9%97%AE%E9%A2%98%EF%BC%8C%E9%9C%80%E8%A6%81%E6%82%A8%E7%9A%84%E5%B8%AE%E5%8A%A9%EF%BC%8C%E8%B0%A2%E8%B0%A2%EF%BC%81" ] \
  || fail "mail link"
kill -0 "$pid" || fail "the program ended"
echo "help menu handed the page and the mail link to xdg-open"
