#!/usr/bin/env bash
# Runs one fuzz target for as long as asked:  scripts/fuzz.sh TARGET SECONDS
# TARGET is archive_reader, key_store, camera_jpeg or web_request (fuzz/TARGET_fuzz.cpp). The fuzzer starts
# from the seed corpus in fuzz/corpus/TARGET and keeps what it finds in build/fuzz/corpus/TARGET.
# An input that fails is written to build/fuzz/findings/; once fixed, add it to
# fuzz/corpus/TARGET, where ctest runs it in every build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ $# -ne 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]] || [ ! -f "$CINDRAL_ROOT/fuzz/${1}_fuzz.cpp" ]; then
  echo "usage: $0 TARGET SECONDS   (TARGET: $(cd "$CINDRAL_ROOT/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||' | tr '\n' ' '))" >&2
  exit 2
fi
target="$1" seconds="$2"

build="$CINDRAL_ROOT/build/fuzz"
# CINDRAL_FUZZ_BUILT: the caller has built the targets (test.sh runs two fuzzers at once).
if [ -z "${CINDRAL_FUZZ_BUILT:-}" ]; then
  install_missing_packages "${CINDRAL_RUN_PACKAGES[@]}" "${CINDRAL_CHECK_PACKAGES[@]}"
  (cd "$CINDRAL_ROOT" && cmake --preset fuzz >/dev/null)
  cmake --build "$build" -j2 --target "${target}_fuzz"
fi

# CINDRAL_FUZZ_SEED repeats a run input for input; without it every run explores anew.
seed_option=()
if [ -n "${CINDRAL_FUZZ_SEED:-}" ]; then seed_option=(-seed="$CINDRAL_FUZZ_SEED"); fi

found="$build/corpus/$target"
findings="$build/findings"
mkdir -p "$found" "$findings"
# Inputs up to 1 MiB: a camera frame or a short archive; rss_limit_mb keeps a runaway allocation a finding.
ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=2048 \
  -timeout=25 -print_final_stats=1 -artifact_prefix="$findings/$target-" "${seed_option[@]}" \
  "$found" "$CINDRAL_ROOT/fuzz/corpus/$target"
