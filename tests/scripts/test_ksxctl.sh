#!/usr/bin/env bash
# End-to-end checks of the operator tool ksxctl, run by ctest inside
# scripts/netns-run (private network namespace with only loopback, own
# KSX_HOME). Real daemons: "ksxctl listen" itself serves the services.
set -u

ctl="$KSX_BUILD_DIR/tools/ksxctl"
cfg="$KSX_HOME/etc/ostravine/ServiceData.cfg"
default_cfg="$KSX_SOURCE_DIR/etc/ServiceData.cfg.default"
work=$(mktemp -d "${TMPDIR:-/tmp}/ksxctl-test.XXXXXX")
export KSX_TIME_SCALE=0.1   # shortens the library's fixed retry and greeting delays
failures=0
daemons=()

cleanup() {
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME ARGS...: runs ksxctl, keeping status in $rc, stdout in $out, stderr in $err.
run() {
  "$ctl" "$@" >"$work/out" 2>"$work/err"
  rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

expect_rc() { [ "$rc" -eq "$1" ] || fail "$2: exit status $rc, wanted $1 (stderr: $err)"; }
expect_out() { [[ "$out" == *"$1"* ]] || fail "$2: stdout lacks '$1': $out"; }
expect_err() { [[ "$err" == *"$1"* ]] || fail "$2: stderr lacks '$1': $err"; }
# Exactly one line on stderr: the tool's own report, nothing from the library.
expect_one_err_line() { [ "$(grep -c . <<<"$err")" -eq 1 ] || fail "$1: wanted one stderr line, got: $err"; }

# start_listener LOG ARGS...: serves in the background, waits until it listens.
start_listener() {
  local log=$1; shift
  "$ctl" listen "$@" >"$log" 2>&1 &
  listener=$!
  daemons+=("$listener")
  for _ in $(seq 100); do
    grep -q '^listening for' "$log" && return 0
    kill -0 "$listener" 2>/dev/null || break
    sleep 0.1
  done
  fail "listener $* did not start: $(cat "$log")"
  return 1
}

stop_listener() { kill -TERM "$1" 2>/dev/null; wait "$1"; listener_rc=$?; }

# ---- help and command-line errors --------------------------------------------

test_help_and_usage_errors() {
  for cmd in list check prune probe send listen; do
    run "$cmd" --help
    expect_rc 0 "$cmd --help"
    expect_out "usage: ksxctl $cmd" "$cmd --help"
    run help "$cmd"
    expect_out "usage: ksxctl $cmd" "help $cmd"
  done
  run --help
  expect_rc 0 "--help"
  for cmd in list check prune probe send listen; do expect_out "  $cmd " "--help lists $cmd"; done

  run
  expect_rc 1 "no command"; expect_err "no command given" "no command"
  run frob
  expect_rc 1 "unknown command"; expect_err "unknown command 'frob'" "unknown command"; expect_one_err_line "unknown command"
  run list --bogus
  expect_rc 1 "unknown option"; expect_err "ksxctl list: unknown option --bogus (see 'ksxctl list --help')" "unknown option"
  run listen Echo Plant1 --port 4000
  expect_rc 1 "listen --port"; expect_err "unknown option --port" "listen --port"
  run probe Echo Plant1 --timeout
  expect_rc 1 "option without value"; expect_err "option --timeout needs a value" "option without value"
  run probe Echo Plant1 --timeout=soon
  expect_rc 1 "bad time-out"; expect_err "--timeout wants a number of seconds" "bad time-out"
  run send Echo Plant1 --count 0 a=1
  expect_rc 1 "bad count"; expect_err "--count wants a whole number" "bad count"
  run probe Echo
  expect_rc 1 "probe with one word"; expect_err "wants SERVICE and DOMAIN" "probe with one word"
  run send Echo Plant1 lonely
  expect_rc 1 "value without ="; expect_err "expected name=value, got 'lonely'" "value without ="
  run send Echo Plant1 big=99999999999999999999
  expect_rc 1 "integer too big"; expect_err "big:s=99999999999999999999" "integer too big"
  run send Echo Plant1 n:i=12x
  expect_rc 1 "forced integer"; expect_err "value of n is no integer" "forced integer"
}

# ---- list and check ----------------------------------------------------------

test_list_sorts_by_domain_then_service() {
  cat >"$work/several.cfg" <<'CFG'
## several entries, written out of order
SERVICE: Zeta DOMAIN: Plant2 ADDRESS: 10.0.0.9 PORT: 9000 SERVERNAME: hostz DYNAMIC: YES
SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000 SERVERNAME: host1 DYNAMIC: NO
SERVICE: Alpha DOMAIN: Plant2
   ADDRESS: 10.0.0.1 PORT: 7000   -- no server name, dynamic by default
SERVICE: MulticastService DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO
CFG
  run list --file "$work/several.cfg"
  expect_rc 0 "list"
  local services
  services=$(awk 'NR > 1 { print $1 "/" $2 }' <<<"$out" | tr '\n' ' ')
  [ "$services" = "MulticastService/ANY_OSTRAVINE_DOMAIN Billing/Plant1 Alpha/Plant2 Zeta/Plant2 " ] ||
    fail "list order: $services"
  grep -qE '^Billing +Plant1 +10\.1\.2\.3 +8000 +host1 +fixed$' <<<"$out" || fail "list row of Billing: $out"
  grep -qE '^Alpha +Plant2 +10\.0\.0\.1 +7000 +- +dynamic$' <<<"$out" || fail "list row of Alpha: $out"
  grep -qE '^SERVICE +DOMAIN +ADDRESS +PORT +SERVER +TYPE$' <<<"$out" || fail "list header: $out"

  # Without --file the installation's file under KSX_HOME is read.
  run list
  expect_rc 0 "list of KSX_HOME"; expect_out "234.5.6.7" "list of KSX_HOME"

  run list --file "$work/missing.cfg"
  expect_rc 1 "list of a missing file"; expect_err "cannot read the service file $work/missing.cfg" "list of a missing file"
}

test_check_reports_the_line_of_a_syntax_error() {
  cp "$default_cfg" "$work/good.cfg"
  echo "SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000" >>"$work/good.cfg"
  run check --file "$work/good.cfg"
  expect_rc 0 "check of a valid file"; expect_out "valid, 2 entries" "check of a valid file"
  [ -z "$err" ] || fail "check of a valid file warned: $err"

  # The third of four entries has its keyword without a colon; the parser's
  # own report must not leak onto the terminal.
  cat >"$work/bad.cfg" <<'CFG'
SERVICE: A DOMAIN: d ADDRESS: 10.0.0.1 PORT: 1
SERVICE: B DOMAIN: d ADDRESS: 10.0.0.2 PORT: 2
SERVICE: C DOMAIN: d
  ADDRESS: 10.0.0.3 PORT 3
SERVICE: D DOMAIN: d ADDRESS: 10.0.0.4 PORT: 4
CFG
  run check --file "$work/bad.cfg"
  expect_rc 1 "check of a bad file"
  expect_err "bad.cfg: line 4: syntax error in '  ADDRESS: 10.0.0.3 PORT 3'" "check of a bad file"
  expect_one_err_line "check of a bad file"
  [ -z "$out" ] || fail "check of a bad file printed on stdout: $out"
  run list --file "$work/bad.cfg"
  expect_rc 1 "list of a bad file"; expect_err "line 4: syntax error" "list of a bad file"

  printf '## only a comment\n\n' >"$work/empty.cfg"
  run check --file "$work/empty.cfg"
  expect_rc 1 "check of an empty file"; expect_err "line 3: syntax error: the file holds no entry" "check of an empty file"
}

test_check_warns_about_values_that_do_not_work() {
  cat >"$work/odd.cfg" <<'CFG'
SERVICE: A DOMAIN: d ADDRESS: 10.0.0.1 PORT: 70000
SERVICE: B DOMAIN: d ADDRESS: 10.0.300.2 PORT: 2 SERVERNAME: h DYNAMIC: maybe
SERVICE: A DOMAIN: d ADDRESS: 10.0.0.3 PORT: 3
CFG
  run check --file "$work/odd.cfg"
  expect_rc 0 "check with warnings"
  expect_err "line 1: port 70000 is above 65535" "port warning"
  expect_err "line 2: address 10.0.300.2 is no IPv4 address" "address warning"
  expect_err "line 2: DYNAMIC: maybe is neither YES nor NO" "dynamic warning"
  expect_err "line 3: the entry of A in d replaces the one on line 1" "duplicate warning"
  expect_err "no multicast entry" "missing multicast warning"
  expect_out "valid, 2 entries" "check with warnings"
  grep -q KSX-ERROR <<<"$err" && fail "the library's own report leaked: $err"

  # The library's text ends at a NUL byte: the entry after it is not read.
  { cat "$default_cfg"; printf '## tail\n\0SERVICE: Lost DOMAIN: d ADDRESS: 10.0.0.5 PORT: 5\n'; } >"$work/nul.cfg"
  local nul_line=$(($(grep -c '' "$default_cfg") + 2))
  run check --file "$work/nul.cfg"
  expect_rc 0 "check with a NUL byte"; expect_out "valid, 1 entry" "check with a NUL byte"
  expect_err "line $nul_line: a NUL byte ends the text here: the rest of the file (50 bytes) is ignored" \
    "check with a NUL byte"
  printf 'SERVICE: Cut DOMAIN: d\n\0 ADDRESS: 10.0.0.5 PORT: 5\n' >"$work/cut.cfg"
  run check --file "$work/cut.cfg"
  expect_rc 1 "check of an entry cut by a NUL byte"
  expect_err "a NUL byte on line 2 ends the text, the rest is ignored" "check of an entry cut by a NUL byte"
  expect_one_err_line "check of an entry cut by a NUL byte"
}

# ---- prune -------------------------------------------------------------------

# 10.99.0.2 exists only in this namespace and never answers: a veth link whose
# far end has no address, and a fixed neighbour entry, so SYNs leave and are lost.
make_silent_address() {
  ip link add ksxp0 type veth peer name ksxp1 && ip addr add 10.99.0.1/24 dev ksxp0 &&
    ip link set ksxp0 up && ip link set ksxp1 up &&
    ip neigh replace 10.99.0.2 lladdr 02:00:00:00:00:02 dev ksxp0 nud permanent
}

test_prune_removes_refused_dynamic_lines_only() {
  start_listener "$work/prune-listener.log" Echo Plant1 || return
  make_silent_address || { fail "cannot set up the silent address"; return; }
  grep -q '^SERVICE: Echo DOMAIN: Plant1 .*DYNAMIC: YES' "$cfg" || fail "the listener published no line: $(cat "$cfg")"
  cp "$cfg" "$work/head.cfg"
  # Nothing listens on port 1: the dynamic line goes, the fixed and the
  # commented one stay. The last line lacks its newline and does not answer.
  local dead='SERVICE: Gone DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 SERVERNAME: crashed DYNAMIC: YES'
  local kept=$'SERVICE: Fixed DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: NO\n-- SERVICE: Old DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: YES\n'
  local away='SERVICE: Away DOMAIN: Plant1 ADDRESS: 10.99.0.2 PORT: 4000 DYNAMIC: YES'
  { cat "$work/head.cfg"; printf '%s\r\n%s%s' "$dead" "$kept" "$away"; } >"$cfg"
  cp "$cfg" "$work/before.cfg"
  { cat "$work/head.cfg"; printf '%s%s' "$kept" "$away"; } >"$work/pruned.cfg"
  { cat "$work/head.cfg"; printf '%s' "$kept"; } >"$work/unreachable-pruned.cfg"

  run prune --dry-run --timeout 0.5
  expect_rc 0 "prune --dry-run"
  expect_out "line 8: would remove (connection refused): $dead" "prune --dry-run"
  expect_out "3 dynamic lines, 1 would be removed" "prune --dry-run"
  cmp -s "$cfg" "$work/before.cfg" || fail "prune --dry-run changed the file: $(cat -A "$cfg")"

  run prune --timeout 0.5
  expect_rc 0 "prune"
  expect_out "line 8: removed (connection refused): $dead" "prune"
  expect_err "line 11: 10.99.0.2:4000: no answer within 0.5 s; kept" "prune keeps a line that does not answer"
  cmp -s "$cfg" "$work/pruned.cfg" || fail "prune left: $(cat -A "$cfg")"

  run prune --unreachable --timeout 0.5
  expect_rc 0 "prune --unreachable"
  expect_out "line 10: removed (no answer within 0.5 s): $away" "prune --unreachable"
  cmp -s "$cfg" "$work/unreachable-pruned.cfg" || fail "prune --unreachable left: $(cat -A "$cfg")"

  stop_listener "$listener"
  ip link del ksxp0
  cp "$default_cfg" "$cfg"

  # The library reads nothing from a NUL byte on; prune leaves it alone too.
  { cat "$default_cfg"; printf '%s\0\n%s\n' "$dead" "$dead"; } >"$work/nul.cfg"
  cp "$work/nul.cfg" "$work/nul-before.cfg"
  run prune --file "$work/nul.cfg"
  expect_rc 0 "prune of a file with a NUL byte"; expect_out "0 dynamic lines, 0 removed" "prune of a file with a NUL byte"
  cmp -s "$work/nul.cfg" "$work/nul-before.cfg" || fail "prune changed what follows a NUL byte"

  printf 'SERVICE: Gone DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: YES\nSERVICE: Bad\n' >"$work/bad-prune.cfg"
  cp "$work/bad-prune.cfg" "$work/bad-before.cfg"
  run prune --file "$work/bad-prune.cfg"
  expect_rc 1 "prune of a file with a syntax error"; expect_err "line 3: syntax error" "prune of a file with a syntax error"
  cmp -s "$work/bad-prune.cfg" "$work/bad-before.cfg" || fail "prune changed a file with a syntax error"
}

# ---- probe, send and listen --------------------------------------------------

test_probe_finds_a_listener_and_nothing_else() {
  start_listener "$work/probe-listener.log" Echo Plant1 || return
  local port
  port=$(awk '/^SERVICE: Echo DOMAIN: Plant1/ { print $8 }' "$cfg")
  [ -n "$port" ] || fail "the listener published no line: $(cat "$cfg")"

  run probe Echo Plant1 --timeout 5 --count 1
  expect_rc 0 "probe of a listener"
  expect_out "127.0.0.1 $port $(hostname)" "probe of a listener"

  run probe Absent Plant1 --timeout 0.5
  expect_rc 2 "probe of an absent service"
  expect_err "no server of Absent in Plant1 answered within 0.5 s" "probe of an absent service"
  expect_one_err_line "probe of an absent service"
  [ -z "$out" ] || fail "probe of an absent service printed: $out"

  run probe Echo Plant2 --timeout 0.5
  expect_rc 2 "probe in another domain"

  stop_listener "$listener"
  [ "$listener_rc" -eq 0 ] || fail "listener ended with $listener_rc on SIGTERM"
  grep -q 'SERVICE: Echo ' "$cfg" && fail "the listener left its line behind: $(cat "$cfg")"
}

test_send_reaches_an_echoing_listener() {
  start_listener "$work/echo.log" Echo Plant1 --echo || return
  run send Echo Plant1 n=007 neg=-5 t:s=007 word=hello "spaced=a b" --id tester-1 --count 1 --timeout 10
  expect_rc 0 "send to an echo"
  expect_out "sent to Echo in Plant1 as tester-1" "send to an echo"
  # Digits are an integer (007 comes back as 7), :s keeps the text.
  local expected
  expected=$(printf 'record 1 from Echo:\nn = 7\nneg = -5\nt = 007\nword = hello\nspaced = a b')
  [[ "$out" == *"$expected"* ]] || fail "echoed record: $out"
  grep -qF -- "record 1 from tester-1:" "$work/echo.log" || fail "listener did not show the client id: $(cat "$work/echo.log")"

  # Without the service file's line the client asks over multicast.
  sed -i '/^SERVICE: Echo /d' "$cfg"
  run send Echo Plant1 via=multicast --count 1 --timeout 10
  expect_rc 0 "send found over multicast"; expect_out "via = multicast" "send found over multicast"
  stop_listener "$listener"
  [ "$listener_rc" -eq 0 ] || fail "echo listener ended with $listener_rc: $(cat "$work/echo.log")"
}

test_send_to_an_unreachable_service_fails_clearly() {
  run send Nowhere Plant1 a=1 --timeout 1
  expect_rc 2 "send to an absent service"
  expect_err "ksxctl send: cannot reach Nowhere in Plant1: no server answered within 1 s" "send to an absent service"
  expect_one_err_line "send to an absent service"

  # A stale entry whose port nobody accepts on.
  echo "SERVICE: Stale DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 SERVERNAME: gone DYNAMIC: NO" >>"$cfg"
  run send Stale Plant1 a=1 --timeout 1
  expect_rc 2 "send to a stale entry"
  expect_err "cannot reach Stale in Plant1: the service file names 127.0.0.1:1 but no connection was made there within 1 s" \
    "send to a stale entry"
  cp "$default_cfg" "$cfg"
}

test_listen_stops_after_count_or_time_out() {
  # A fixed entry gives the port; the line stays when the server stops.
  echo "SERVICE: Fixed DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 45678 DYNAMIC: NO" >>"$cfg"
  start_listener "$work/count.log" Fixed Plant1 --count 2 --timeout 30 || return
  grep -q '^listening for Fixed in Plant1 at 127.0.0.1:45678 (fixed)$' "$work/count.log" ||
    fail "fixed listener: $(cat "$work/count.log")"
  run send Fixed Plant1 seq=1 --timeout 1.5
  expect_rc 0 "first of two records"
  run send Fixed Plant1 seq=2 --timeout 1.5
  expect_rc 0 "second of two records"
  wait "$listener"; local count_rc=$?
  [ "$count_rc" -eq 0 ] || fail "listener with --count 2 ended with $count_rc: $(cat "$work/count.log")"
  grep -q 'seq = 2' "$work/count.log" || fail "listener missed the second record: $(cat "$work/count.log")"
  grep -q 'SERVICE: Fixed ' "$cfg" || fail "a fixed entry was withdrawn"

  run listen Quiet Plant1 --count 1 --timeout 0.5
  expect_rc 2 "listen time-out"; expect_err "fewer than 1 records arrived within 0.5 s" "listen time-out"
  grep -q 'SERVICE: Quiet ' "$cfg" && fail "the timed-out listener left its line behind"
  cp "$default_cfg" "$cfg"
}

test_network_commands_refuse_a_file_without_multicast_entry() {
  echo "SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000" >"$cfg"
  for cmd in "probe Echo Plant1" "send Echo Plant1 a=1" "listen Echo Plant1"; do
    run $cmd --timeout 1
    expect_rc 1 "$cmd without multicast entry"
    expect_err "has no multicast entry" "$cmd without multicast entry"
  done
  cp "$default_cfg" "$cfg"
}

test_key_generate_and_keyed_probe_send_and_listen() {
  local key="$KSX_HOME/etc/ostravine/Installation.key" first
  run key generate
  expect_rc 0 "key generate"
  [ "$(stat -c '%a %s' "$key")" = "600 32" ] || fail "key file mode and size: $(stat -c '%a %s' "$key")"
  first=$(od -An -tx1 "$key")
  run key generate
  expect_rc 1 "key generate over a key"; expect_err "exists already; --force replaces it" "key generate over a key"
  [ "$(od -An -tx1 "$key")" = "$first" ] || fail "key generate without --force changed the key"

  start_listener "$work/keyed.log" Keyed Plant1 --echo || return
  run probe Keyed Plant1 --timeout 5 --count 1
  expect_rc 0 "probe with the key"
  run send Keyed Plant1 via=key --count 1 --timeout 10
  expect_rc 0 "send with the key"; expect_out "via = key" "send with the key"

  # A new key for this tool only: the running listener keeps the old one.
  run key generate --force
  expect_rc 0 "key generate --force"
  [ "$(od -An -tx1 "$key")" != "$first" ] || fail "key generate --force kept the old key"
  run probe Keyed Plant1 --timeout 1
  expect_rc 2 "probe with another key"
  run send Keyed Plant1 a=1 --timeout 1.5
  expect_rc 2 "send with another key"; expect_err "refused this client (the proof does not match this server's installation key)" "send with another key"
  stop_listener "$listener"
  grep -q "fails the installation-key check" "$work/keyed.log" ||
    fail "the listener did not report the request made with another key: $(cat "$work/keyed.log")"
  rm -f "$key"
}

for t in test_help_and_usage_errors test_list_sorts_by_domain_then_service \
         test_check_reports_the_line_of_a_syntax_error test_check_warns_about_values_that_do_not_work \
         test_prune_removes_refused_dynamic_lines_only \
         test_probe_finds_a_listener_and_nothing_else test_send_reaches_an_echoing_listener \
         test_send_to_an_unreachable_service_fails_clearly test_listen_stops_after_count_or_time_out \
         test_network_commands_refuse_a_file_without_multicast_entry \
         test_key_generate_and_keyed_probe_send_and_listen; do
  before=$failures
  $t
  [ "$failures" -eq "$before" ] && echo "ok: $t" || echo "not ok: $t"
done
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
