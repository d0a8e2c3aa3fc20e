#!/usr/bin/env bash
# Without a camera the viewer must fail at once: status 1, one line on stderr, no window.
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

start=$(date +%s%N)
# shellcheck disable=SC2086 # the runner is words, split as in session.h
timeout 30 ${ORVELLE_E2E_RUNNER:-} "$orvelle" >"$dir/out" 2>"$dir/err"
status=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
sleep 0.3

fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; fi; }
check '[ "$status" -eq 1 ]' "exit status $status, expected 1"
check '[ "$(wc -l <"$dir/err")" -eq 1 ]' "stderr has $(wc -l <"$dir/err") lines: $(cat "$dir/err")"
check 'grep -q "^orvelle: no camera" "$dir/err"' "stderr does not name the missing camera"
check '[ ! -s "$dir/out" ]' "stdout is not empty"
check '! grep -q -E "CreateNotify|MapNotify" "$dir/events"' "a window was created or mapped"
check '[ "$elapsed_ms" -lt "$limit_ms" ]' "took ${elapsed_ms} ms"
[ "$fail" -eq 0 ] && echo "no camera: status 1, '$(cat "$dir/err")', no window, ${elapsed_ms} ms"
exit $fail
