#!/usr/bin/env bash
# End to end: the real velmora binary on a fresh machine in a temporary folder, under Xvfb.
# Checks that the window opens with its caption, that start-up wrote the settings file, and that
# the site list shows the default site in its first row (text pixels there, none in the next row).
# Usage: window_appears.sh VELMORA VELMORA-MACHINE FONTS.CONF  (run inside xvfb-run)
source "$(dirname "$0")/window_lib.sh" "$@"
install_machine
"$tool" facts set addresses "10.1.2.3" "${m[@]}"
start_window
grep -q 'USRGroup=True' "$ini" || fail "start-up did not finish"
[ "$(grep -c '=' "$ini")" -eq 8 ] || fail "settings file does not hold eight keys"
[ "$WIDTH" -eq 623 ] || fail "client width $WIDTH, expected 623"
# The name cell of rows 1 and 2 of the grid (grid at 8,200; rows 16 pixels; name column from 33).
row1="100x10+$((8 + 33 + 6))+$((menu + 200 + 16 + 4))"
row2="100x10+$((8 + 33 + 6))+$((menu + 200 + 32 + 4))"
shot="$work/shot.png"
for _ in $(seq 50); do
  import -window "$wid" "$shot" 2>/dev/null || true
  dark1=$(convert "$shot" -crop "$row1" +repage -colorspace Gray -format '%[fx:minima]' info: 2>/dev/null || echo 1)
  awk -v d="$dark1" 'BEGIN { exit !(d < 0.5) }' && break
  sleep 0.2
done
dark2=$(convert "$shot" -crop "$row2" +repage -colorspace Gray -format '%[fx:minima]' info:)
awk -v d="$dark1" 'BEGIN { exit !(d < 0.5) }' || fail "no site name in the first row (darkest $dark1)"
awk -v d="$dark2" 'BEGIN { exit !(d > 0.9) }' || fail "the second row is not empty (darkest $dark2)"
kill -0 "$pid" || fail "the program ended"
echo "window $wid shown, default site listed"
