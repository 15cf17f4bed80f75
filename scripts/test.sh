#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test; then the same code under the
# sanitizers and the fuzzers. Exits non-zero on any failure. Each stage says what it cost.
#   CINDRAL_FUZZ_SECONDS   seconds each fuzz target runs (30)
#   CINDRAL_FUZZ_SEED      the fuzzers' seed (20261207)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$CINDRAL_ROOT"

status=0
stage_start=$SECONDS
# stage NAME: ends the stage before it with its cost, then names this one.
stage() {
  if [ -n "${stage_name:-}" ]; then echo "== $stage_name took $((SECONDS - stage_start)) s"; fi
  stage_name="$1"
  stage_start=$SECONDS
  [ -n "$stage_name" ] && echo "== $stage_name"
  return 0
}

stage "Packages"
install_missing_packages "${CINDRAL_RUN_PACKAGES[@]}" "${CINDRAL_SCREEN_PACKAGES[@]}" "${CINDRAL_TEST_PACKAGES[@]}" \
  "${CINDRAL_CHECK_PACKAGES[@]}"

stage "Format"
scripts/check_format.sh || status=1

stage "Build (default compiler, warnings as errors)"
cmake --preset test >/dev/null
cmake --build build/test -j2

stage "Tests"
ctest --preset test || status=1

stage "Core, capture, export and command-line tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang, warnings as errors, no window)"
cmake --preset sanitize >/dev/null
cmake --build build/sanitize -j2
ctest --preset sanitize || status=1

stage "Threaded tests under ThreadSanitizer (clang)"
cmake --preset tsan >/dev/null
cmake --build build/tsan -j2 --target recorder_tests archive_tests storage_tests capture_tests cli_tests app_tests web_tests
# Recorder, writer pool and flusher, retention, the live session, the capture graph and the
# recording runs (cli_tests), the view's hand-over, the web server and the events writer: every place
# where threads meet.
ctest --preset tsan -R '^(Recorder|RecorderMonitor|EncodePoolTest|EncodingRecorderTest|CameraFrameRecord|Retention|RetentionSchedule|MotionEventRelay|LiveSession|CaptureGraphTest|FrameSink|RecordCommand|CameraView|LiveState|WebServer|EventsWriter)\.' ||
  status=1

stage "Fuzzing (clang)"
# A fixed seed: the same inputs on every run, so the suite fails for a change, not by luck;
# scripts/fuzz.sh on its own explores anew.
fuzz_targets=(archive_reader key_store camera_jpeg web_request)
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j2 --target "${fuzz_targets[@]/%/_fuzz}"
# Each fuzzer uses one core: two run at a time.
fuzz() {
  CINDRAL_FUZZ_BUILT=1 CINDRAL_FUZZ_SEED="${CINDRAL_FUZZ_SEED:-20261207}" \
    scripts/fuzz.sh "$1" "${CINDRAL_FUZZ_SECONDS:-30}" >"build/fuzz-$1.log" 2>&1
}
for ((i = 0; i < ${#fuzz_targets[@]}; i += 2)); do
  pids=()
  for target in "${fuzz_targets[@]:i:2}"; do
    fuzz "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
for target in "${fuzz_targets[@]}"; do
  if ! grep -q '^Done' "build/fuzz-$target.log"; then
    status=1
    tail -n 40 "build/fuzz-$target.log"
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done)' "build/fuzz-$target.log" |
    sed "s/^/$target: /" || true
done

stage ""
exit $status
