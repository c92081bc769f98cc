#!/usr/bin/env bash
# End to end: a new operator creates a site with its own account and an FTP directory in the real
# velmora binary on a fresh machine, under Xvfb, by mouse and keyboard; the machine then holds the
# account, the IIS site with its root, pool and MIME map, the FTP directory and the grants.
# Usage: create_site.sh VELMORA VELMORA-MACHINE FONTS.CONF  (run inside xvfb-run)
source "$(dirname "$0")/window_lib.sh" "$@"
install_machine
start_window
click 189 26; erase; xdotool type --window "$wid" "shop1"            # 网站名称
click 188 76; erase; xdotool type --window "$wid" "www.shop1.com"    # 绑定域名
click 326 18                                                         # 创建匿名用户
click 326 51                                                         # 创建/删除独立FTP站点
click 568 122; xdotool type --window "$wid" "Pw123"                  # 密码
click 344 162                                                        # 建站
for _ in $(seq 100); do
  grep -q 'SiteNum' "$ini" && "$tool" metabase export "${m[@]}" | grep 'MSFTPSVC/1/ROOT/shop1' >/dev/null && break
  sleep 0.2
done
sleep 1
xdotool key Return # the report
sleep 1
kill -0 "$pid" || fail "the program ended"

user=$("$tool" cmd "cmd.exe /c net user shop1" "${m[@]}") || fail "no account shop1"
grep -q 'Internet 来宾和FTP帐户' <<<"$user" || fail "full name: $user"
grep -q 'Velmora创建匿名访问 Internet 信息服务的帐户' <<<"$user" || fail "comment: $user"
grep -q '\*velmorausers' <<<"$user" || fail "groups: $user"
grep -q '\*Users' <<<"$user" && fail "still in Users: $user"
xml=$("$tool" metabase export "${m[@]}")
for want in 'Location ="/LM/W3SVC/10000"' 'ServerComment="shop1"' 'ServerBindings=":80:www.shop1.com"' \
            'Location ="/LM/W3SVC/10000/ROOT"' 'AnonymousUserName="shop1"' '.mp3,audio/mpeg' \
            'Location ="/LM/W3SVC/AppPools/shop1"' 'Location ="/LM/MSFTPSVC/1/ROOT/shop1"' 'Path="D:\WebRoot\shop1"'; do
  grep -qF "$want" <<<"$xml" || fail "metabase lacks $want"
done
grep -A12 'Location ="/LM/W3SVC/10000"' <<<"$xml" | grep 'ServerState="2"' >/dev/null || fail "site not started"
acl=$("$tool" cmd 'cmd.exe /c icacls "D:\WebRoot\shop1"' "${m[@]}")
grep -qF 'VELMORA\shop1:(OI)(CI)(DENY)(WEA,WA)' <<<"$acl" || fail "site folder: $acl"
grep -qF 'VELMORA\shop1:(OI)(CI)(RC,S,RD,WD,REA,RA)' <<<"$acl" || fail "site folder: $acl"
acl=$("$tool" cmd 'cmd.exe /c icacls "D:\WebRoot\shop1\web"' "${m[@]}")
grep -qF 'VELMORA\shop1:(DENY)(DE)' <<<"$acl" || fail "web folder: $acl"
echo "site shop1 created with its account, pool, MIME map, FTP directory and grants"
