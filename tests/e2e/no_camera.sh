#!/usr/bin/env bash
# Without a camera the viewer must fail at once: status 1, one line on stderr, no window; so
# must a camera named that does not exist (status 1) and a command line it does not take (2).
set -u
orvelle=$1
limit_ms=${2:-3000}
dir=$(mktemp -d)
trap 'kill $xvfb $watch 2>/dev/null; rm -rf "$dir"' EXIT

exec 3>"$dir/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$dir/display")

# Every window created or mapped on the screen shows up here.
xev -root -event substructure >"$dir/events" 2>&1 &
watch=$!
sleep 0.3

# Runs the viewer with "$@" and checks its status, its one line on stderr and that no window
# came; the first case also how soon it ended.
fail=0
check() { if ! eval "$1"; then echo "FAIL ($case): $2"; fail=1; fi; }
run() {
  local expected_status=$1 expected_line=$2
  shift 2
  case="orvelle $*"
  start=$(date +%s%N)
  # shellcheck disable=SC2086 # the runner is words, split as in session.h
  timeout 30 ${ORVELLE_E2E_RUNNER:-} "$orvelle" "$@" >"$dir/out" 2>"$dir/err"
  status=$?
  elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
  check '[ "$status" -eq "$expected_status" ]' "exit status $status, expected $expected_status"
  check '[ "$(cat "$dir/err")" = "$expected_line" ]' "stderr is '$(cat "$dir/err")'"
  check '[ ! -s "$dir/out" ]' "stdout is not empty"
}

run 1 "orvelle: no camera at index 0"
check '[ "$elapsed_ms" -lt "$limit_ms" ]' "took ${elapsed_ms} ms"
echo "no camera: status $status, '$(cat "$dir/err")', ${elapsed_ms} ms"
# A camera named that does not exist, and a command line the viewer does not take.
run 1 "orvelle: no camera at index 3" 3
run 1 "orvelle: no camera at /dev/video3" /dev/video3
run 1 "orvelle: no camera called usb-cam" usb-cam
usage="usage: orvelle [CAMERA | --list | --help | --version]"
run 2 "$usage" --camera
run 2 "$usage" 0 1
sleep 0.3
check '! grep -q -E "CreateNotify|MapNotify" "$dir/events"' "a window was created or mapped"
exit $fail
