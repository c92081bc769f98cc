#!/usr/bin/env bash
# Measures the machine's web service beside nginx (2 workers, access log on), loopback only:
#  1. 10,000 sites on the machine, a 1 KB default page of one site, 64 keep-alive connections for
#     10 s (wrk), central binary logging on: requests a second and p99;
#  2. 10,000 slow clients (one header byte a second) held open: a normal client's p99 meanwhile
#     (4 connections, wrk), the server's threads and resident memory before, during and after;
#  3. four concurrent 256 MB POSTs to the page: the answer and the highest resident memory.
# Usage: scripts/bench-serve.sh [sites] [seconds] [slow clients]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sites=${1:-10000}
seconds=${2:-10}
slow=${3:-10000}
# Every slow client holds a descriptor here and one in the server.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
[ "$(ulimit -n)" -gt $((slow + 1000)) ] || { echo "ulimit -n $(ulimit -n) is too low for $slow slow clients" >&2; exit 1; }
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
    p=$(( (RANDOM % 10000) + 20000 )) # below the ephemeral range, which the clients use
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

rss_of() { awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$1/status"; }
# Resident memory (MB) and threads of a server and its children (nginx's workers).
rss_all() { local t=0 p; for p in $1 $(pgrep -P "$1" || true); do t=$((t + $(rss_of "$p"))); done; echo "$t"; }
threads_all() { local t=0 p; for p in $1 $(pgrep -P "$1" || true); do t=$((t + $(ls "/proc/$p/task" | wc -l))); done; echo "$t"; }

slow_phase() { # port pid name
  local before_rss before_thr
  before_rss=$(rss_all "$2"); before_thr=$(threads_all "$2")
  python3 "$top/scripts/slow-clients.py" "$1" www.bench.example "$slow" $((seconds + 15)) > "$work/$3.slow" &
  local slow_pid=$!
  for _ in $(seq 600); do grep -q ready "$work/$3.slow" && break; sleep 0.1; done
  local during_rss during_thr
  wrk -t1 -c4 -d"${seconds}s" --latency -H "Host: www.bench.example" "http://127.0.0.1:$1/" > "$work/$3.slowwrk"
  during_rss=$(rss_all "$2"); during_thr=$(threads_all "$2")
  wait "$slow_pid" || true
  sleep 6 # serve hands freed memory back every 5 s
  echo "$before_rss $before_thr $during_rss $during_thr $(rss_all "$2") $(threads_all "$2")" > "$work/$3.slowfig"
}

post_phase() { # port pid name
  truncate -s 256M "$work/post.bin"
  local peak=0 r i p alive pids=()
  for i in 1 2 3 4; do
    curl -s -o /dev/null -w '%{http_code}\n' -H "Host: www.bench.example" -H "Expect:" -X POST -T "$work/post.bin" \
      "http://127.0.0.1:$1/Index.html" > "$work/$3.post$i" 2>/dev/null &
    pids+=($!)
  done
  for _ in $(seq 3000); do
    r=$(rss_all "$2"); [ "$r" -gt "$peak" ] && peak=$r
    alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.02
  done
  wait "${pids[@]}" 2>/dev/null || true
  echo "$peak $(cat "$work/$3".post* | sort | uniq -c | awk '{ printf "%s×%s ", $1, $2 }')" > "$work/$3.postfig"
}

# The emulated IIS; both ports are chosen before any client holds one.
port=$(free_port)
nport=$(free_port)
while [ "$nport" = "$port" ]; do nport=$(free_port); done
"$tool" serve --machine "$machine" --port-offset $((port - 80)) > "$work/serve.out" 2>&1 &
serve_pid=$!
for _ in $(seq 100); do grep -q "Ctrl+C" "$work/serve.out" && break; sleep 0.1; done
grep -q "Ctrl+C" "$work/serve.out" || { cat "$work/serve.out" >&2; exit 1; }
status=$(curl -s -o /dev/null -w '%{http_code}' -H "Host: www.bench.example" "http://127.0.0.1:$port/")
[ "$status" = 200 ] || { echo "the site answers $status, not 200" >&2; exit 1; }
rss_before=$(awk '/VmRSS/ { print $2 }' "/proc/$serve_pid/status")
run_wrk "http://127.0.0.1:$port/" www.bench.example | tee "$work/serve.wrk"
rss_peak=$(awk '/VmHWM/ { print $2 }' "/proc/$serve_pid/status")
slow_phase "$port" "$serve_pid" serve
post_phase "$port" "$serve_pid" serve
kill -TERM "$serve_pid"; wait "$serve_pid" || true; serve_pid=""
log="$machine/drives/C/WINDOWS/system32/LogFiles/W3SVC/ra$(date -u +%y%m%d).ibl"
log_bytes=$(stat -c %s "$log" 2>/dev/null || echo 0)

# Plain nginx on the same file, logging every request too.
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<EOF
worker_processes 2;
user $(id -un) $(id -gn);
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
worker_rlimit_nofile $((slow + 1000));
events { worker_connections $((slow + 1000)); }
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
slow_phase "$nport" "$nginx_pid" nginx
post_phase "$nport" "$nginx_pid" nginx
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""

echo
echo "== BM_ServeStaticPage/$sites (64 connections, ${seconds}s, central binary logging on)"
echo "serve:  $(rps "$work/serve.wrk") req/s, p99 $(p99 "$work/serve.wrk"), RSS $((rss_before / 1024)) MB at start, peak $((rss_peak / 1024)) MB, binary log $log_bytes bytes"
echo "nginx:  $(rps "$work/nginx.wrk") req/s, p99 $(p99 "$work/nginx.wrk")"
awk -v a="$(rps "$work/serve.wrk")" -v b="$(rps "$work/nginx.wrk")" 'BEGIN { printf "ratio serve/nginx: %.2f\n", a / b }'

slowline() { # name
  local f; read -r -a f < "$work/$1.slowfig"
  echo "$(p99 "$work/$1.slowwrk") p99 for a normal client; threads ${f[1]} -> ${f[3]} -> ${f[5]}, RSS ${f[0]} -> ${f[2]} -> ${f[4]} MB (before, with, after); $(tail -1 "$work/$1.slow")"
}
echo
echo "== $slow slow clients (one header byte a second) held open"
echo "serve:  $(slowline serve)"
echo "nginx:  $(slowline nginx)"
echo
echo "== four concurrent 256 MB POSTs"
read -r -a sp < "$work/serve.postfig"; read -r -a np < "$work/nginx.postfig"
echo "serve:  peak RSS ${sp[0]} MB, answers ${sp[*]:1}"
echo "nginx:  peak RSS ${np[0]} MB (all processes), answers ${np[*]:1}"
