#!/usr/bin/env bash
# Checks that every C++ file of the tree follows .clang-format; names those that do not and
# exits non-zero. With --fix, formats them in place instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
formatter="${CLANG_FORMAT:-clang-format}"
if ! command -v "$formatter" >/dev/null; then
  echo "check_format.sh: $formatter not found (apt-get install clang-format)" >&2
  exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi

if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i --style=file "${files[@]}"
  exit 0
fi

unformatted=()
for file in "${files[@]}"; do
  if ! "$formatter" --style=file --dry-run --Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
  fi
done
if [ "${#unformatted[@]}" -ne 0 ]; then
  printf '%s\n' "${unformatted[@]}" | sed 's/^/not formatted: /' >&2
  echo "${#unformatted[@]} of ${#files[@]} files do not follow .clang-format (scripts/check_format.sh --fix formats them)" >&2
  exit 1
fi
echo "all ${#files[@]} files follow .clang-format"
