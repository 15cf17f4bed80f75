#!/usr/bin/env bash
# Installs a built tree into a temporary DESTDIR under an unusual prefix and checks what a
# desktop and a shell get from it: launcher, icons, AppStream metadata, man pages, help page,
# and the installed programs' --help, --version and usage errors.
# usage: check_install.sh BUILD_DIR APP_ID VERSION
set -uo pipefail
build_dir="$1" app_id="$2" version="$3"
prefix=/opt/cindral-check
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR="$stage" cmake --install "$build_dir" --prefix "$prefix" >"$stage.log" 2>&1; then
  cat "$stage.log"; rm -f "$stage.log"; echo "FAIL: cmake --install"; exit 1
fi
rm -f "$stage.log"
root="$stage$prefix"

for program in cindral cindral-cli; do
  [ -x "$root/bin/$program" ] || fail "bin/$program is missing or not executable"
done

desktop="$root/share/applications/$app_id.desktop"
if [ -f "$desktop" ]; then
  report="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate failed"
  [ -z "$report" ] || fail "desktop-file-validate: $report"
  grep -qx "Icon=$app_id" "$desktop" || fail "the launcher's icon is not $app_id"
  grep -qx "Exec=cindral" "$desktop" || fail "the launcher does not start cindral"
else
  fail "no launcher $desktop"
fi

metainfo="$root/share/metainfo/$app_id.metainfo.xml"
if [ -f "$metainfo" ]; then
  report="$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1)" || fail "appstreamcli validate: $report"
  # Pedantic hints do not fail the validation; none are wanted all the same, except the note
  # that the id has capitals, as the desktop's reverse-DNS names conventionally do.
  if grep -E '^[EWIP]: ' <<<"$report" | grep -vq 'cid-contains-uppercase-letter'; then
    fail "appstreamcli validate: $report"
  fi
  grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $app_id.desktop"
  grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
else
  fail "no AppStream metadata $metainfo"
fi

icons="$root/share/icons/hicolor"
grep -q '<svg' "$icons/scalable/apps/$app_id.svg" 2>/dev/null || fail "no scalable icon"
for size in 48 128 256; do
  png="$icons/${size}x${size}/apps/$app_id.png"
  if [ -f "$png" ]; then
    # The PNG header: signature, IHDR length and type, then width and height as 32-bit big-endian.
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" |
      awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
    [ "$width x $height" = "$size x $size" ] || fail "$png is $width x $height, not $size x $size"
  else
    fail "no $size px icon"
  fi
done

for page in cindral cindral-cli; do
  man_page="$root/share/man/man1/$page.1"
  if [ -f "$man_page" ]; then
    warnings="$(groff -man -ww -z -Tutf8 "$man_page" 2>&1)"
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    grep -q '@' "$man_page" && fail "$page.1 has an unreplaced @VARIABLE@"
    grep -q "Cindral $version" "$man_page" || fail "$page.1 does not name version $version"
  else
    fail "no man page $page.1"
  fi
done

# Where the installed program looks for its help page when none lies beside it.
[ -f "$root/share/doc/cindral/Cindral.html" ] || fail "no help page in share/doc/cindral"
[ -e "$root/bin/Cindral.html" ] && fail "a help page beside the installed program would hide share/doc"

# The installed desktop program answers on the command line without any display.
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/cindral" "$@" >"$stage/out" 2>"$stage/err"; }
run --help; status=$?
[ $status -eq 0 ] || fail "cindral --help exited $status"
grep -q '^Usage: cindral' "$stage/out" || fail "cindral --help printed no usage on standard output"
[ -s "$stage/err" ] && fail "cindral --help wrote to standard error: $(cat "$stage/err")"
run --version; status=$?
[ $status -eq 0 ] || fail "cindral --version exited $status"
[ "$(cat "$stage/out")" = "cindral $version" ] || fail "cindral --version printed '$(cat "$stage/out")'"
for bad in --bogus -platform archive.CNA; do
  run "$bad"; status=$?
  [ $status -eq 2 ] || fail "cindral $bad exited $status, not 2"
  [ "$(wc -l <"$stage/err")" -eq 1 ] && grep -q -- "--help" "$stage/err" ||
    fail "cindral $bad: not one line pointing to --help: $(cat "$stage/err")"
  [ -s "$stage/out" ] && fail "cindral $bad wrote to standard output"
done
"$root/bin/cindral-cli" --help >/dev/null || fail "the installed cindral-cli does not run"
cli_version="$("$root/bin/cindral-cli" --version)"
[ "$cli_version" = "cindral-cli $version" ] || fail "cindral-cli --version printed '$cli_version'"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install into DESTDIR$prefix: every check passed"
