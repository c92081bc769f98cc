#!/usr/bin/env bash
# Checks that every C++ file git knows holds the repository's .clang-format.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format.sh: the files above are not formatted; run: clang-format -i FILE..." >&2
  exit 1
fi
