#!/usr/bin/env bash
# The desktop demo end to end on a private X server it starts itself: the
# demo window's own log must show the click on its button and the typed
# text, and the annotated capture must be a PNG of the screen's size.
#   demo_session_test.sh DEMO WINDOW HOST
set -uo pipefail
demo=$1 window=$2 host=${PELAGON2_TEST_HOST:-$3}

if ! command -v Xvfb >/dev/null; then
  echo "Xvfb is not installed; skipping"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
typed=$'h\u00e9llo w\u00f6rld'

# No DISPLAY at all, and no terminal: the private screen needs neither.
env -u DISPLAY "$demo" --private --check --host "$host" --window "$window" --out "$work/out" \
  --window-log "$work/window.log" </dev/null >"$work/demo.log" 2>&1
rc=$?
cat "$work/demo.log"
fail() {
  echo "FAIL: $*"
  echo "-- window log:"
  cat "$work/window.log" 2>/dev/null
  exit 1
}
[[ $rc == 0 ]] || fail "the demo exited with $rc"

# The window says where its button was and what reached it.
read -r bx by bw bh < <(awk '$1 == "button" {print $2, $3, $4, $5; exit}' "$work/window.log")
[[ -n "${bx:-}" ]] || fail "the window never reported its button"
read -r cx cy < <(awk '$1 == "click" && $2 == 1 && $5 == 1 {print $3, $4; exit}' "$work/window.log")
[[ -n "${cx:-}" ]] || fail "no left click on the button reached the window"
((cx >= bx && cx < bx + bw && cy >= by && cy < by + bh)) || fail "click at ($cx,$cy) is outside the button"
grep -qxF "focus" "$work/window.log" || fail "the window never had the keyboard focus"
[[ "$(grep '^text ' "$work/window.log" | tail -n 1)" == "text $typed" ]] || fail "the field does not hold '$typed'"

# The annotated capture: a PNG of the whole private screen (1024x768).
png="$work/out/demo-annotated.png"
grep -qF "annotated capture: $png" "$work/demo.log" || fail "the demo did not say where the picture is"
[[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]] || fail "$png is not a PNG"
[[ "$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')" == "0 0 4 0 0 0 3 0" ]] || fail "$png is not 1024x768"

# On a screen that is not the demo's own, and with nobody to ask, neither
# the pointer nor the keyboard may be used: a second server of ours stands
# in for a user's screen.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -nolisten tcp -noreset -screen 0 800x600x24 >/dev/null 2>&1 &
user_server=$!
trap 'kill "$user_server" 2>/dev/null; wait "$user_server" 2>/dev/null; rm -rf "$work"' EXIT
read -r -t 20 -u "$fd" number || fail "the stand-in user's server did not start"
DISPLAY=":$number" "$demo" --host "$host" --window "$window" --out "$work/user" \
  --window-log "$work/user-window.log" </dev/null >"$work/user.log" 2>&1 || fail "the demo failed on a user's screen"
grep -q "^screen: yours (DISPLAY=:$number)" "$work/user.log" || fail "the demo did not take :$number as the user's screen"
grep -q "skipped: this is your screen and there is no terminal" "$work/user.log" || fail "the demo did not say why it skipped"
! grep -qE '^(click|text)' "$work/user-window.log" || fail "the demo used the pointer or keyboard without asking"
grep -qF "annotated capture: $work/user/demo-annotated.png" "$work/user.log" || fail "no annotated capture on a user's screen"

# Nothing of the sessions is left running.
for pid in $(awk '/pid [0-9]+/ {for (i = 1; i < NF; i++) if ($i == "pid") print $(i + 1)}' "$work/demo.log"); do
  ! kill -0 "$pid" 2>/dev/null || fail "process $pid is still running"
done
echo "PASS"
