#!/usr/bin/env bash
# Runs the demo (tools/ksx_demo with its daemons) under ctest inside
# scripts/netns-run: the full run must end with status 0 and its summary; a
# run that fails, is interrupted or is killed must leave no daemon behind.
set -u

demo="$KSX_BUILD_DIR/tools/ksx_demo"
default_cfg="$KSX_SOURCE_DIR/etc/ServiceData.cfg.default"
work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-demo-test.XXXXXX")
export TMPDIR="$work"   # the demo makes its homes here, so leftovers are seen
failures=0
background=""

cleanup() {
  [ -z "$background" ] || { kill -KILL "$background" 2>/dev/null; wait "$background" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A process counts as alive unless it is gone or only a zombie.
alive() { [ -r "/proc/$1/status" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }

# Pids of the daemons the demo started, from its "started <name> (pid N," lines.
daemon_pids() { sed -n 's/.*started [^ ]* (pid \([0-9]*\),.*/\1/p' "$1"; }

# expect_no_daemons LOG WHAT [SECONDS]: every daemon in LOG has gone.
expect_no_daemons() {
  local log=$1 what=$2 seconds=${3:-0} pid
  local pids
  pids=$(daemon_pids "$log")
  [ -n "$pids" ] || { fail "$what: the demo started no daemon"; return; }
  for pid in $pids; do
    for _ in $(seq $((seconds * 10))); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && fail "$what: daemon $pid is still running"
  done
}

expect_no_homes() {
  compgen -G "$work/ksx-demo.*" >/dev/null && fail "$1: the demo left its homes behind: $(ls "$work")"
}

# wait_for_line LOG TEXT SECONDS
wait_for_line() {
  for _ in $(seq $(($3 * 10))); do grep -q -- "$2" "$1" && return 0; sleep 0.1; done
  return 1
}

test_full_run_reports_every_step() {
  local log="$work/full.log"
  "$demo" --service-file "$default_cfg" >"$log" 2>&1
  local rc=$?
  [ $rc -eq 0 ] || fail "full run: exit status $rc"
  grep -q 'summary: all 10 steps happened' "$log" || fail "full run: no success summary"
  grep -q 'FAIL' "$log" && fail "full run: a check failed"
  [ "$(grep -c '== step [0-9]* happened' "$log")" -eq 10 ] || fail "full run: not every step happened"
  # Both clients reconnected to the restarted server, which published a line.
  [ "$(grep -c 'server | @serving ' "$log")" -eq 2 ] || fail "full run: the server did not start twice"
  # The daemons' stderr is part of the log: no sanitizer report, and no error
  # report but the one a keep-alive on a just-lost connection may give.
  grep -E 'Sanitizer|runtime error' "$log" && fail "full run: a sanitizer report"
  grep ' ! KSX-ERROR' "$log" | grep -v ' ! KSX-ERROR -220545 CKesObjSockClient:' && fail "full run: an unexpected error report"
  expect_no_daemons "$log" "full run"
  expect_no_homes "full run"
  [ $failures -eq 0 ] || cat "$log"
}

test_daemon_that_cannot_start_fails_the_demo() {
  # Without the multicast entry the server's engine gives up (shortened retries).
  local cfg="$work/no-multicast.cfg" log="$work/nomc.log"
  grep -v MulticastService "$default_cfg" >"$cfg"
  KSX_TIME_SCALE=0.05 "$demo" --service-file "$cfg" >"$log" 2>&1
  local rc=$?
  [ $rc -eq 1 ] || fail "no multicast: exit status $rc, wanted 1"
  grep -q 'summary: FAILED at step 1 of 10' "$log" || fail "no multicast: no failure summary: $(tail -5 "$log")"
  grep -q 'server is no longer running' "$log" || fail "no multicast: the server's end was not noticed"
  expect_no_daemons "$log" "no multicast"
  expect_no_homes "no multicast"
}

# interrupt_demo SIGNAL LOG: starts the demo, signals it once both clients run.
interrupt_demo() {
  "$demo" --service-file "$default_cfg" >"$2" 2>&1 &
  background=$!
  wait_for_line "$2" 'started client-B' 30 || fail "$1: client-B never started: $(tail -5 "$2")"
  kill "-$1" "$background"
  wait "$background"
  rc=$?
  background=""
}

test_interrupted_demo_stops_its_daemons() {
  local log="$work/term.log" rc
  interrupt_demo TERM "$log"
  [ $rc -eq 1 ] || fail "interrupted: exit status $rc, wanted 1"
  grep -q 'summary: FAILED at step 3 of 10' "$log" || fail "interrupted: no failure summary: $(tail -5 "$log")"
  expect_no_daemons "$log" "interrupted"
  expect_no_homes "interrupted"
}

test_killed_demo_takes_its_daemons_along() {
  local log="$work/kill.log" rc
  interrupt_demo KILL "$log"
  # Each daemon gets SIGTERM from the kernel when the demo dies and stops itself.
  expect_no_daemons "$log" "killed" 15
}

test_full_run_reports_every_step
test_daemon_that_cannot_start_fails_the_demo
test_interrupted_demo_stops_its_daemons
test_killed_demo_takes_its_daemons_along

[ $failures -eq 0 ] && echo "test_demo: all checks passed"
exit $((failures > 0))
