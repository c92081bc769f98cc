#!/usr/bin/env bash
# Sets up, builds, installs the default emulated machine on first use and opens the window.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
# Only what it runs: the window, the machine tool and the log tool (scripts/test.sh builds the rest).
"$top/scripts/build.sh" velmora velmora-machine velmoraconv
# The window needs a display; say so instead of letting Qt abort. A platform named in
# QT_QPA_PLATFORM (vnc, offscreen, ...) brings its own.
if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): run it in an X or Wayland session, or with QT_QPA_PLATFORM=vnc and a VNC viewer on port 5900." >&2
  exit 2
fi
export FONTCONFIG_FILE="$top/resources/fonts/fonts.conf"
machine=${VELMORA_MACHINE:-${XDG_DATA_HOME:-$HOME/.local/share}/velmora/machine}
tool="$top/build/tools/velmora-machine/velmora-machine"
if [ ! -e "$machine/machine.db" ]; then
  # First use: a fresh server, then the program's own installation step on it.
  "$tool" install --machine "$machine"
  "$tool" install-program --machine "$machine"
fi
export VELMORA_MACHINE="$machine"

# The machine's web and FTP services: started in the background unless they already serve this
# machine, ended when the window closes. Sites answer on 127.0.0.1 (and 127.0.1.x for the
# machine's own addresses) at their port + 8000: HTTP at 8080, FTP at 8021.
serve_pid=""
serve_out="$machine/w3svc.out"
"$tool" serve --machine "$machine" > "$serve_out" 2>&1 &
serve_pid=$!
for _ in $(seq 100); do
  grep -q "Ctrl+C" "$serve_out" 2>/dev/null && break
  kill -0 "$serve_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$serve_pid" 2>/dev/null; then
  trap 'kill -TERM "$serve_pid" 2>/dev/null; wait "$serve_pid" 2>/dev/null || true' EXIT
  grep -v "Ctrl+C" "$serve_out"
  echo "网站在 http://127.0.0.1:8080/ 应答（端口 = 绑定端口 + 8000），例如："
  echo "  curl -H \"Host: www.example.com\" http://127.0.0.1:8080/"
  echo "FTP 在 ftp://127.0.0.1:8021/ 应答，用网站自己的帐户登录，例如："
  echo "  curl -T index.html ftp://帐户:密码@127.0.0.1:8021/web/"
  echo "W3SVC 的输出：$serve_out"
else
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=""
  cat "$serve_out"
fi

if [ -n "$serve_pid" ]; then
  "$top/build/src/app/velmora"
  exit $?
fi
exec "$top/build/src/app/velmora"
