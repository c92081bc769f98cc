#!/usr/bin/env bash
# Installs the Debian packages that Velmora's build, tests and window need.
# Does nothing when every package is already there; uses sudo when not root.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format git
  qt6-base-dev qt6-base-private-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev
  libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-translations-l10n
  fontconfig fonts-arphic-uming fonts-arphic-ukai
  xvfb xauth xdotool imagemagick
  # the machine's web service (velmora-machine serve) and its benchmark
  libboost1.81-dev wrk nginx-light
  # the FTP service's tests (real clients) and its benchmark beside vsftpd
  curl python3 vsftpd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
