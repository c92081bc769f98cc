#!/usr/bin/env bash
# Measures the machine's web service: 10,000 sites on the machine, static requests for a 1 KB
# default page of one site, 64 keep-alive connections for 10 s (wrk), central binary logging on;
# then the same run against a plain nginx serving the same file, for reference.
# Loopback only. Usage: scripts/bench-serve.sh [sites] [seconds]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sites=${1:-10000}
seconds=${2:-10}
tool="$top/build/tools/velmora-machine/velmora-machine"
command -v wrk >/dev/null || { echo "wrk is missing: scripts/setup.sh installs it" >&2; exit 1; }
[ -x "$tool" ] || { echo "build velmora-machine first (scripts/build.sh)" >&2; exit 1; }

work=$(mktemp -d)
serve_pid=""
nginx_pid=""
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  if [ -n "${BENCH_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A port nobody listens on, from the kernel's ephemeral range.
free_port() {
  local p
  while :; do
    p=$(( (RANDOM % 20000) + 30000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
}

machine="$work/machine"
"$tool" install --machine "$machine" >/dev/null
"$tool" facts set addresses "192.168.0.10" --machine "$machine"

# The sites, as the program makes them: own bindings, root folder and anonymous account; the
# measured site is the first one, with a 1 KB default page readable by the service's account.
"$tool" metabase export --machine "$machine" --output "$work/base.xml"
{
  for ((i = 0; i < sites; i++)); do
    n=$((10000 + i)); name="site$n"
    [ "$i" -eq 0 ] && name="bench"
    printf '<IIsWebServer\tLocation ="/LM/W3SVC/%s"\n\t\tServerBindings=":80:www.%s.example\n\t\t\t:80:%s.example"\n\t\tServerComment="%s"\n\t\tServerState="2"\n\t\tDefaultDoc="Default.htm, Default.asp, Index.htm, Index.asp, Index.php,Index.html,Default.aspx,Index.aspx,Default.html"\n\t>\n</IIsWebServer>\n' "$n" "$name" "$name" "$name"
    if [ "$i" -eq 0 ]; then
      printf '<IIsWebVirtualDir\tLocation ="/LM/W3SVC/%s/ROOT"\n\t\tPath="D:\\WebRoot\\%s\\web"\n\t>\n</IIsWebVirtualDir>\n' "$n" "$name"
    else
      # No AnonymousUserPass: import takes secure properties only encrypted with the machine's key.
      printf '<IIsWebVirtualDir\tLocation ="/LM/W3SVC/%s/ROOT"\n\t\tAnonymousUserName="%s"\n\t\tPath="D:\\WebRoot\\%s\\web"\n\t>\n</IIsWebVirtualDir>\n' "$n" "$name" "$name"
    fi
  done
} > "$work/sites.xml"
awk -v extra="$work/sites.xml" '
  /^<\/MBProperty>/ { while ((getline line < extra) > 0) print line }
  { sub(/CentralBinaryLoggingEnabled="FALSE"/, "CentralBinaryLoggingEnabled=\"TRUE\""); print }
' "$work/base.xml" > "$work/metabase.xml"
"$tool" metabase import "$work/metabase.xml" --machine "$machine" >/dev/null
page_dir="$machine/drives/D/WebRoot/bench/web"
mkdir -p "$page_dir"
head -c 1024 /dev/zero | tr '\0' 'x' > "$page_dir/Index.html"

run_wrk() { # url host
  wrk -t2 -c64 -d"${seconds}s" --latency -H "Host: $2" "$1"
}
rps() { awk '/^Requests\/sec:/ { print $2 }' "$1"; }
p99() { awk '$1 == "99%" { print $2 }' "$1"; }

# The emulated IIS.
port=$(free_port)
"$tool" serve --machine "$machine" --port-offset $((port - 80)) > "$work/serve.out" 2>&1 &
serve_pid=$!
for _ in $(seq 100); do grep -q "Ctrl+C" "$work/serve.out" && break; sleep 0.1; done
grep -q "Ctrl+C" "$work/serve.out" || { cat "$work/serve.out" >&2; exit 1; }
status=$(curl -s -o /dev/null -w '%{http_code}' -H "Host: www.bench.example" "http://127.0.0.1:$port/")
[ "$status" = 200 ] || { echo "the site answers $status, not 200" >&2; exit 1; }
rss_before=$(awk '/VmRSS/ { print $2 }' "/proc/$serve_pid/status")
run_wrk "http://127.0.0.1:$port/" www.bench.example | tee "$work/serve.wrk"
rss_peak=$(awk '/VmHWM/ { print $2 }' "/proc/$serve_pid/status")
kill -TERM "$serve_pid"; wait "$serve_pid" || true; serve_pid=""
log="$machine/drives/C/WINDOWS/system32/LogFiles/W3SVC/ra$(date -u +%y%m%d).ibl"
log_bytes=$(stat -c %s "$log" 2>/dev/null || echo 0)

# Plain nginx on the same file, logging every request too.
nport=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<EOF
worker_processes auto;
user $(id -un) $(id -gn);
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$nport; root $page_dir; index Index.html; }
}
EOF
nginx -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$nport/" && break; sleep 0.1; done
run_wrk "http://127.0.0.1:$nport/" www.bench.example | tee "$work/nginx.wrk"
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""

echo
echo "== BM_ServeStaticPage/$sites (64 connections, ${seconds}s, central binary logging on)"
echo "serve:  $(rps "$work/serve.wrk") req/s, p99 $(p99 "$work/serve.wrk"), RSS $((rss_before / 1024)) MB at start, peak $((rss_peak / 1024)) MB, binary log $log_bytes bytes"
echo "nginx:  $(rps "$work/nginx.wrk") req/s, p99 $(p99 "$work/nginx.wrk")"
awk -v a="$(rps "$work/serve.wrk")" -v b="$(rps "$work/nginx.wrk")" 'BEGIN { printf "ratio serve/nginx: %.2f\n", a / b }'
