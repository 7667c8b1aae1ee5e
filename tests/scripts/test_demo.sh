#!/usr/bin/env bash
# tools/ksx_demo in scripts/netns-run: a full run ends with status 0 and its summary; a run that fails, is
# interrupted or is killed leaves no daemon and no home behind.
set -u

demo="$KSX_BUILD_DIR/tools/ksx_demo"
default_cfg="$KSX_SOURCE_DIR/etc/ServiceData.cfg.default"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
export TMPDIR="$work"   # the demo makes its homes here, so leftovers are seen

alive() { [ -r "/proc/$1/status" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }  # a zombie is gone

# expect_clean LOG WHAT [SECONDS]: each daemon of LOG's "started NAME (pid N," lines has gone (within SECONDS,
# given for a killed demo, which cannot remove its homes), and so have the demo's homes.
expect_clean() {
  local pids pid
  pids=$(sed -n 's/.*started [^ ]* (pid \([0-9]*\),.*/\1/p' "$1")
  [ -n "$pids" ] || fail "$2: the demo started no daemon"
  for pid in $pids; do
    for _ in $(seq $((${3:-0} * 10))); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && fail "$2: daemon $pid is still running"
  done
  [ -z "${3:-}" ] && compgen -G "$work/ksx-demo.*" >/dev/null && fail "$2: the demo left its homes behind: $(ls "$work")"
}

# expect_end RC LOG WHAT SUMMARY: the run ended with RC and that summary line, and left nothing behind.
expect_end() {
  [ "$rc" -eq "$1" ] || fail "$3: exit status $rc, wanted $1"
  grep -q "summary: $4" "$2" || fail "$3: no summary '$4': $(tail -5 "$2")"
  expect_clean "$2" "$3"
}

test_full_run_reports_every_step() {
  local log="$work/full.log"
  "$demo" --service-file "$default_cfg" >"$log" 2>&1; rc=$?
  expect_end 0 "$log" "full run" "all 10 steps happened"
  grep -q 'FAIL' "$log" && fail "full run: a check failed"
  [ "$(grep -c '== step [0-9]* happened' "$log")" -eq 10 ] || fail "full run: not every step happened"
  # Both clients reconnected to the restarted server, which published a line.
  [ "$(grep -c 'server | @serving ' "$log")" -eq 2 ] || fail "full run: the server did not start twice"
  # The daemons' stderr is in the log: no sanitizer report, no error report but a keep-alive's on a lost connection.
  grep -E 'Sanitizer|runtime error' "$log" && fail "full run: a sanitizer report"
  grep ' ! KSX-ERROR' "$log" | grep -v ' ! KSX-ERROR -220545 CKesObjSockClient:' && fail "full run: an unexpected error report"
  [ $failures -eq 0 ] || cat "$log"
}

test_daemon_that_cannot_start_fails_the_demo() {
  # Without the multicast entry the server's engine gives up (shortened retries).
  local log="$work/nomc.log"
  grep -v MulticastService "$default_cfg" >"$work/no-multicast.cfg"
  KSX_TIME_SCALE=0.05 "$demo" --service-file "$work/no-multicast.cfg" >"$log" 2>&1; rc=$?
  expect_end 1 "$log" "no multicast" "FAILED at step 1 of 10"
  grep -q 'server is no longer running' "$log" || fail "no multicast: the server's end was not noticed"
}

# interrupt_demo SIGNAL LOG: starts the demo, signals it once both clients run; its status goes to $rc.
interrupt_demo() {
  start "$2" 'started client-B' "$demo" --service-file "$default_cfg"
  kill "-$1" "$started"
  wait "$started"; rc=$?
  background=()
}

test_full_run_reports_every_step
test_daemon_that_cannot_start_fails_the_demo
interrupt_demo TERM "$work/term.log"
expect_end 1 "$work/term.log" "interrupted" "FAILED at step 3 of 10"
# Killed: each daemon gets SIGTERM from the kernel when the demo dies, and stops itself (a daemon that
# missed it would end with SIGPIPE at its next line of output: this checks that none is left, not which).
interrupt_demo KILL "$work/kill.log"
expect_clean "$work/kill.log" "killed" 15
finish
