#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test. Exits non-zero on any failure.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages "${CINDRAL_RUN_PACKAGES[@]}" "${CINDRAL_SCREEN_PACKAGES[@]}" "${CINDRAL_TEST_PACKAGES[@]}"

echo "== Build"
configure_tree "$CINDRAL_ROOT/build/test" RelWithDebInfo
cmake --build "$CINDRAL_ROOT/build/test" -j2

echo "== Tests"
status=0
ctest --test-dir "$CINDRAL_ROOT/build/test" --output-on-failure -j2 || status=1

echo "== Robustness tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_tree "$CINDRAL_ROOT/build/sanitize" Debug -DCINDRAL_SANITIZE=ON -DCINDRAL_BUILD_GUI=OFF >/dev/null
cmake --build "$CINDRAL_ROOT/build/sanitize" -j2 --target cindral_sanitize_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$CINDRAL_ROOT/build/sanitize" --output-on-failure -j2 || status=1

exit $status
