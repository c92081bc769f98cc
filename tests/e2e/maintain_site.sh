#!/usr/bin/env bash
# End to end: in the real velmora binary on a fresh machine, under Xvfb, by mouse and keyboard, a new
# operator creates a site, clicks its row, pauses and stops it from the state cell, changes its
# domains and password with "修改" and deletes it with "删站"; the machine then holds no trace of
# it while the default site and its files stay.
# Usage: maintain_site.sh VELMORA VELMORA-MACHINE FONTS.CONF  (run inside xvfb-run)
source "$(dirname "$0")/window_lib.sh" "$@"
install_machine
start_window
xml() { "$tool" metabase export "${m[@]}"; }
site() { xml | grep -A14 'Location ="/LM/W3SVC/10000"' | sed -n '1,/^<\/IIsWebServer>/p'; }
# The report box: wait for it, then close it with Enter.
report() {
  sleep 1.5
  xdotool key Return
  sleep 1
  kill -0 "$pid" || fail "the program ended"
}
# The list: grid at (8, 200), rows 16 pixels high; row 1 the default site, row 2 the new one.
row2=$((200 + 2 * 16 + 8))

click 189 26; erase; xdotool type --window "$wid" "shop1"            # 网站名称
click 188 76; erase; xdotool type --window "$wid" "www.shop1.com"    # 绑定域名
click 326 18                                                         # 创建匿名用户
click 326 51                                                         # 创建/删除独立FTP站点
click 568 122; xdotool type --window "$wid" "Pw123"                  # 密码
click 344 162                                                        # 建站
for _ in $(seq 100); do
  xml | grep 'MSFTPSVC/1/ROOT/shop1' >/dev/null && break
  sleep 0.2
done
report
site | grep 'ServerState="2"' >/dev/null || fail "not started: $(site)"

click 24 $row2                                                       # 状态: 启动 -> 暂停
site | grep 'ServerState="6"' >/dev/null || fail "not paused: $(site)"
click 24 $row2                                                       # 状态: 暂停 -> 停止
site | grep 'ServerState="4"' >/dev/null || fail "not stopped: $(site)"

# The export writes the anonymous password encrypted: a new password gives another text.
anonpass() { xml | grep -A8 'Location ="/LM/W3SVC/10000/ROOT"' | grep -o 'AnonymousUserPass="[^"]*"'; }
pass_before=$(anonpass)
click 187 $row2                                                      # 标识符: loads the row
click 188 76; erase; xdotool type --window "$wid" "shop1.net@www.shop1.net"
click 568 122; erase; xdotool type --window "$wid" "Pw456"
click 504 162                                                        # 修改
report
site | grep -F 'ServerBindings=":80:shop1.net' >/dev/null || fail "domains: $(site)"
grep -qF 'cmd.exe /c net user shop1 ********' "$work/machine/journal.log" || fail "no password change"  # the journal masks passwords
"$tool" cmd "cmd.exe /c net user shop1" "${m[@]}" | grep '\*velmorausers' >/dev/null || fail "account lost its group"
pass_after=$(anonpass)
[ -n "$pass_after" ] && [ "$pass_after" != "$pass_before" ] || fail "anonymous password unchanged"

click 187 $row2                                                      # 标识符: loads the row
click 424 162                                                        # 删站
report
after=$(xml)
for gone in 'Location ="/LM/W3SVC/10000"' 'Location ="/LM/W3SVC/AppPools/shop1"' \
            'Location ="/LM/MSFTPSVC/1/ROOT/shop1"'; do
  grep -qF "$gone" <<<"$after" && fail "still in the metabase: $gone"
done
"$tool" cmd "cmd.exe /c net user shop1" "${m[@]}" >/dev/null && fail "account shop1 still exists"
[ -e "$work/machine/drives/D/WebRoot/shop1" ] && fail "folder shop1 still exists"
grep -qF 'Location ="/LM/W3SVC/1"' <<<"$after" || fail "the default site went too"
[ -f "$work/machine/drives/C/Inetpub/wwwroot/iisstart.htm" ] || fail "the default site's page went"
echo "site shop1 created, paused, stopped, edited and deleted; the default site stays"
