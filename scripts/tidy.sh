#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the libraries without widgets: platform/, storage/,
# picture/, jpeg/, archive/, detection/, settings/, recorder/, archive_core/ and web/. Names every finding and exits
# non-zero when there is one. Its own configure of the `clang` preset gives the compile commands;
# nothing is built. About 2.5 minutes of processor time for the 43 files, so not a stage of test.sh.
#   scripts/tidy.sh [FILE...]   (default: every .cpp of those folders)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$CINDRAL_ROOT"

install_missing_packages "${CINDRAL_RUN_PACKAGES[@]}" "${CINDRAL_CHECK_PACKAGES[@]}"
cmake --preset clang >/dev/null
folders=(platform storage picture jpeg archive detection settings recorder archive_core web)
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- "${folders[@]/%//*.cpp}")
fi
# Headers count where they belong to these folders; the others are checked with their own.
header_filter="^$CINDRAL_ROOT/($(IFS='|'; echo "${folders[*]}"))/"

log="build/clang/tidy.log"
printf '%s\n' "${files[@]}" |
  xargs -P 2 -n 1 clang-tidy -p build/clang --quiet --header-filter="$header_filter" >"$log" 2>/dev/null || true
findings=$(grep -cE ': (warning|error): ' "$log" || true)
if [ "$findings" -ne 0 ]; then
  grep -E -A3 ': (warning|error): ' "$log" >&2
  echo "clang-tidy: $findings findings in ${#files[@]} files (all in $log)" >&2
  exit 1
fi
echo "clang-tidy: no findings in ${#files[@]} files"
