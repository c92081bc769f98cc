#!/usr/bin/env bash
# Configures and builds Velmora into build/ (Release with debug info, warnings as errors).
# Usage: scripts/build.sh [TARGET...]: the named targets only, or everything.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR=ON >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$top/build" --parallel "$(nproc)" "${targets[@]}"
