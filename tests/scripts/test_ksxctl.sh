#!/usr/bin/env bash
# End-to-end checks of ksxctl inside scripts/netns-run; "ksxctl listen" serves the services.
set -u

ctl="$KSX_BUILD_DIR/tools/ksxctl"
cfg="$KSX_HOME/etc/ostravine/ServiceData.cfg"
default_cfg="$KSX_SOURCE_DIR/etc/ServiceData.cfg.default"
export KSX_TIME_SCALE=0.1   # shortens the library's fixed retry and greeting delays
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# try RC TEXT ARGS...: runs ksxctl ARGS (output in $out, $err) wanting status RC and TEXT on stdout (status 0)
# or stderr; a failure writes only its report: one line (or $err_lines), no stdout but listen's greeting.
try() {
  local want=$1 text=$2 rc; shift 2
  "$ctl" "$@" >"$work/out" 2>"$work/err"
  rc=$?; out=$(<"$work/out"); err=$(<"$work/err")
  [ "$rc" -eq "$want" ] || fail "ksxctl $*: exit status $rc, wanted $want (stderr: $err)"
  if [ "$want" -eq 0 ]; then expect_out "ksxctl $*" "$text"; else expect_err "ksxctl $*" "$text"; fi
  [[ $want -eq 0 || ($(grep -c . <<<"$err") -eq ${err_lines:-1} && (-z $out || ${1:-} == listen)) ]] ||
    fail "ksxctl $*: more than its report: $out$err"
}

# expect_out WHAT TEXT...: stdout holds each TEXT (expect_err: stderr).
expect_out() { local t; for t in "${@:2}"; do [[ "$out" == *"$t"* ]] || fail "$1: stdout lacks '$t': $out"; done; }
expect_err() { local t; for t in "${@:2}"; do [[ "$err" == *"$t"* ]] || fail "$1: stderr lacks '$t': $err"; done; }
# holds FILE PATTERN: FILE has a line matching PATTERN (lacks: none).
holds() { grep -q -- "$2" "$1" || fail "$(basename "$1") lacks '$2': $(cat "$1")"; }
lacks() { grep -q -- "$2" "$1" && fail "$(basename "$1") still has '$2': $(cat "$1")"; }
same_file() { cmp -s "$1" "$2" || fail "$3: $(cat -A "$1")"; }
# keeps FILE RC TEXT ARGS...: try RC TEXT ARGS..., which must leave FILE as it was.
keeps() { cp "$1" "$work/snapshot"; try "${@:2}"; same_file "$1" "$work/snapshot" "ksxctl ${*:4} changed $1"; }

# start_listener LOG ARGS...: serves in the background, waits until it listens.
start_listener() { start "$1" 'listening for' "$ctl" listen "${@:2}" && listener=$started; }

# stop_listener WHAT: SIGTERM must end the listener cleanly.
stop_listener() { kill -TERM "$listener" 2>/dev/null; wait "$listener" || fail "$1: listener ended with $? on SIGTERM"; }

test_help_and_usage_errors() {
  for cmd in list check prune probe send listen; do
    try 0 "usage: ksxctl $cmd" "$cmd" --help; try 0 "usage: ksxctl $cmd" help "$cmd"
  done
  try 0 "" --help
  expect_out "--help" "  list " "  check " "  prune " "  probe " "  send " "  listen "

  local errors=(
    "no command given|"
    "ksxctl list: unknown option --bogus (see 'ksxctl list --help')|list --bogus"
    "unknown option --port|listen Echo Plant1 --port 4000"
    "option --timeout needs a value|probe Echo Plant1 --timeout"
    "--timeout wants a number of seconds|probe Echo Plant1 --timeout=soon"
    "--count wants a whole number|send Echo Plant1 --count 0 a=1"
    "wants SERVICE and DOMAIN|probe Echo"
    "expected name=value, got 'lonely'|send Echo Plant1 lonely"
    "big:s=99999999999999999999|send Echo Plant1 big=99999999999999999999"
    "value of n is no integer|send Echo Plant1 n:i=12x"
    "unknown command 'frob'|frob"
  )
  local case
  # shellcheck disable=SC2086  # the arguments are split on purpose
  for case in "${errors[@]}"; do try 1 "${case%%|*}" ${case#*|}; done
}

test_list_sorts_by_domain_then_service() {
  printf '%s\n' '## several entries, written out of order' \
    'SERVICE: Zeta DOMAIN: Plant2 ADDRESS: 10.0.0.9 PORT: 9000 SERVERNAME: hostz DYNAMIC: YES' \
    'SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000 SERVERNAME: host1 DYNAMIC: NO' \
    'SERVICE: Alpha DOMAIN: Plant2' '   ADDRESS: 10.0.0.1 PORT: 7000   -- no server name, dynamic by default' \
    'SERVICE: MulticastService DOMAIN: ANY_KES_DOMAIN ADDRESS: 234.5.6.7 PORT: 23456 DYNAMIC: NO' >"$work/several.cfg"
  try 0 "" list --file "$work/several.cfg"
  [ "$(awk 'NR > 1 { print $1 "/" $2 }' <<<"$out" | tr '\n' ' ')" = \
    "MulticastService/ANY_OSTRAVINE_DOMAIN Billing/Plant1 Alpha/Plant2 Zeta/Plant2 " ] || fail "list order: $out"
  [ "$(grep -cE '^(SERVICE +DOMAIN +ADDRESS +PORT +SERVER +TYPE|Billing +Plant1 +10\.1\.2\.3 +8000 +host1 +fixed|Alpha +Plant2 +10\.0\.0\.1 +7000 +- +dynamic)$' <<<"$out")" -eq 3 ] ||
    fail "list header or rows of Billing and Alpha: $out"

  try 0 "234.5.6.7" list   # without --file: the file under KSX_HOME
  try 1 "cannot read the service file $work/missing.cfg" list --file "$work/missing.cfg"
}

test_check_reports_syntax_errors_and_warns_about_values_that_do_not_work() {
  cp "$default_cfg" "$work/good.cfg"
  echo "SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000" >>"$work/good.cfg"
  try 0 "valid, 2 entries" check --file "$work/good.cfg"
  [ -z "$err" ] || fail "check of a valid file warned: $err"

  # The keyword without a colon on line 4; the parser's own report must not leak.
  printf '%s\n' 'SERVICE: A DOMAIN: d ADDRESS: 10.0.0.1 PORT: 1' 'SERVICE: B DOMAIN: d ADDRESS: 10.0.0.2 PORT: 2' \
    'SERVICE: C DOMAIN: d' '  ADDRESS: 10.0.0.3 PORT 3' 'SERVICE: D DOMAIN: d ADDRESS: 10.0.0.4 PORT: 4' >"$work/bad.cfg"
  try 1 "bad.cfg: line 4: syntax error in '  ADDRESS: 10.0.0.3 PORT 3'" check --file "$work/bad.cfg"
  try 1 "line 4: syntax error" list --file "$work/bad.cfg"

  printf '## only a comment\n\n' >"$work/empty.cfg"
  try 1 "line 3: syntax error: the file holds no entry" check --file "$work/empty.cfg"

  printf '%s\n' 'SERVICE: A DOMAIN: d ADDRESS: 10.0.0.1 PORT: 70000' \
    'SERVICE: B DOMAIN: d ADDRESS: 10.0.300.2 PORT: 2 SERVERNAME: h DYNAMIC: maybe' 'SERVICE: A DOMAIN: d ADDRESS: 10.0.0.3 PORT: 3' >"$work/odd.cfg"
  try 0 "valid, 2 entries" check --file "$work/odd.cfg"
  expect_err "check with warnings" "line 1: port 70000 is above 65535" "line 2: address 10.0.300.2 is no IPv4 address" \
    "line 2: DYNAMIC: maybe is neither YES nor NO" "line 3: the entry of A in d replaces the one on line 1" \
    "no multicast entry"
  grep -q KSX-ERROR <<<"$err" && fail "the library's own report leaked: $err"

  # The library's text ends at a NUL byte: the entry after it is not read.
  { cat "$default_cfg"; printf '## tail\n\0SERVICE: Lost DOMAIN: d ADDRESS: 10.0.0.5 PORT: 5\n'; } >"$work/nul.cfg"
  local nul_line; nul_line=$(($(grep -c '' "$default_cfg") + 2))
  try 0 "valid, 1 entry" check --file "$work/nul.cfg"
  expect_err "check with a NUL byte" "line $nul_line: a NUL byte ends the text here: the rest of the file (50 bytes) is ignored"
  try 0 "MulticastService" list --file "$work/nul.cfg"
  expect_err "list with a NUL byte" "list: warning: $work/nul.cfg: line $nul_line: a NUL byte ends"
  printf 'SERVICE: Cut DOMAIN: d\n\0 ADDRESS: 10.0.0.5 PORT: 5\n' >"$work/cut.cfg"
  try 1 "a NUL byte on line 2 ends the text, the rest is ignored" check --file "$work/cut.cfg"
}

test_prune_removes_refused_dynamic_lines_only() {
  start_listener "$work/prune-listener.log" Echo Plant1 || return
  # 10.99.0.2 never answers: a veth whose far end has no address and a fixed neighbour entry lose the SYNs.
  { ip link add ksxp0 type veth peer name ksxp1 && ip addr add 10.99.0.1/24 dev ksxp0 && ip link set ksxp0 up &&
    ip link set ksxp1 up && ip neigh replace 10.99.0.2 lladdr 02:00:00:00:00:02 dev ksxp0 nud permanent; } ||
    { fail "cannot set up the silent address"; return; }
  cp "$cfg" "$work/head.cfg"   # with the listener's dynamic line, the first of the 3 below
  # Port 1 refuses: the dynamic CR LF line goes, the fixed and commented ones stay; the last, unterminated, is silent.
  local dead='SERVICE: Gone DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 SERVERNAME: crashed DYNAMIC: YES'
  local kept=$'SERVICE: Fixed DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: NO\n-- SERVICE: Old DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: YES\n'
  local away='SERVICE: Away DOMAIN: Plant1 ADDRESS: 10.99.0.2 PORT: 4000 DYNAMIC: YES'
  { cat "$work/head.cfg"; printf '%s\r\n%s%s' "$dead" "$kept" "$away"; } >"$cfg"
  keeps "$cfg" 0 "line 8: would remove (connection refused): $dead" prune --dry-run --timeout 0.5
  expect_out "prune --dry-run" "3 dynamic lines, 1 would be removed"

  try 0 "line 8: removed (connection refused): $dead" prune --timeout 0.5
  expect_err "prune keeps a line that does not answer" "line 11: 10.99.0.2:4000: no answer within 0.5 s; kept"
  { cat "$work/head.cfg"; printf '%s%s' "$kept" "$away"; } >"$work/want.cfg"
  same_file "$cfg" "$work/want.cfg" "prune left"

  try 0 "line 10: removed (no answer within 0.5 s): $away" prune --unreachable --timeout 0.5
  { cat "$work/head.cfg"; printf '%s' "$kept"; } >"$work/want.cfg"
  same_file "$cfg" "$work/want.cfg" "prune --unreachable left"

  stop_listener "prune"
  ip link del ksxp0

  # Nothing after a NUL byte is read, nor touched; a file with a syntax error is not touched either.
  { cat "$default_cfg"; printf '%s\0\n%s\n' "$dead" "$dead"; } >"$work/nul.cfg"
  keeps "$work/nul.cfg" 0 "0 dynamic lines, 0 removed" prune --file "$work/nul.cfg"
  printf 'SERVICE: Gone DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 DYNAMIC: YES\nSERVICE: Bad\n' >"$work/bad.cfg"
  keeps "$work/bad.cfg" 1 "line 3: syntax error" prune --file "$work/bad.cfg"
}

test_probe_and_send_reach_a_listener() {
  start_listener "$work/echo.log" Echo Plant1 --echo || return
  local port; port=$(awk '/^SERVICE: Echo DOMAIN: Plant1/ { print $8 }' "$cfg")   # "" fails the probe below
  try 0 "127.0.0.1 $port $(hostname)" probe Echo Plant1 --timeout 5 --count 1
  try 2 "no server of Absent in Plant1 answered within 0.5 s" probe Absent Plant1 --timeout 0.5
  try 2 "" probe Echo Plant2 --timeout 0.5
  # A reply whose address is no dotted address prints '?', never its text (lines, terminal controls).
  PYTHONPATH="$KSX_SOURCE_DIR/python" /usr/bin/python3 -c '
import socket, time
from ksxcomms import wire
reply = wire.encode({"KesSockInternalDataField": "KesSockInternalDataField", "KesSockAddressReply": "KesSockAddressReply",
    "KesSockInternalServiceName": "Forged", "KesSockInternalDomainName": "Plant1",
    "KesSockInternalAddress": "10.0.0.1\x1b]0;owned\x07\n10.6.6.6 66 forged", "KesSockInternalPort": 9})
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(60): sock.sendto(reply, ("234.5.6.7", 23456)); time.sleep(0.05)' &
  background+=($!)
  try 0 "? 9 -" probe Forged Plant1 --timeout 3 --count 1
  [[ "$out" != *forged* && "$out" != *$'\e'* ]] || fail "probe printed a forged address: $(cat -A <<<"$out")"

  try 0 "sent to Echo in Plant1 as tester-1" \
    send Echo Plant1 n=007 neg=-5 t:s=007 word=hello "spaced=a b" --id tester-1 --count 1 --timeout 10
  # Digits are an integer (007 comes back as 7), :s keeps the text.
  expect_out "echoed record" "$(printf 'record 1 from Echo:\nn = 7\nneg = -5\nt = 007\nword = hello\nspaced = a b')"
  holds "$work/echo.log" "record 1 from tester-1:"

  sed -i '/^SERVICE: Echo /d' "$cfg"   # without the file's line the client asks over multicast
  try 0 "via = multicast" send Echo Plant1 via=multicast --count 1 --timeout 10
  stop_listener "echo: $(cat "$work/echo.log")"
}

test_network_commands_fail_clearly() {
  try 2 "ksxctl send: cannot reach Nowhere in Plant1: no server answered within 1 s" send Nowhere Plant1 a=1 --timeout 1
  echo "SERVICE: Stale DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 1 SERVERNAME: gone DYNAMIC: NO" >>"$cfg"
  try 2 "cannot reach Stale in Plant1: the service file names 127.0.0.1:1 but no connection was made there within 1 s" \
    send Stale Plant1 a=1 --timeout 1
  # A file without the multicast entry is refused.
  echo "SERVICE: Billing DOMAIN: Plant1 ADDRESS: 10.1.2.3 PORT: 8000" >"$cfg"
  # shellcheck disable=SC2086
  for cmd in "probe Echo Plant1" "send Echo Plant1 a=1" "listen Echo Plant1"; do try 1 "has no multicast entry" $cmd --timeout 1; done
}

test_listen_stops_after_count_or_time_out() {
  # A fixed entry gives the port; the line stays when the server stops.
  echo "SERVICE: Fixed DOMAIN: Plant1 ADDRESS: 127.0.0.1 PORT: 45678 DYNAMIC: NO" >>"$cfg"
  start_listener "$work/count.log" Fixed Plant1 --count 2 --timeout 30 || return
  holds "$work/count.log" '^listening for Fixed in Plant1 at 127.0.0.1:45678 (fixed)$'
  for seq in 1 2; do try 0 "" send Fixed Plant1 seq=$seq --timeout 1.5; done
  wait "$listener" || fail "listener with --count 2 ended with $?: $(cat "$work/count.log")"
  holds "$work/count.log" 'seq = 2'
  holds "$cfg" 'SERVICE: Fixed '   # a fixed entry is not withdrawn

  try 2 "fewer than 1 records arrived within 0.5 s" listen Quiet Plant1 --count 1 --timeout 0.5
  lacks "$cfg" 'SERVICE: Quiet '
}

test_key_generate_and_keyed_probe_send_and_listen() {
  local key="$KSX_HOME/etc/ostravine/Installation.key" first
  try 0 "" key generate
  [ "$(stat -c '%a %s' "$key")" = "600 32" ] || fail "key file mode and size: $(stat -c '%a %s' "$key")"
  first=$(od -An -tx1 "$key")
  keeps "$key" 1 "exists already; --force replaces it" key generate

  start_listener "$work/keyed.log" Keyed Plant1 --echo || return
  try 0 "" probe Keyed Plant1 --timeout 5 --count 1
  try 0 "via = key" send Keyed Plant1 via=key --count 1 --timeout 10

  # A new key for this tool only: the listener keeps the old one and reports the request.
  try 0 "" key generate --force
  [ "$(od -An -tx1 "$key")" != "$first" ] || fail "key generate --force kept the old key"
  try 2 "" probe Keyed Plant1 --timeout 1
  err_lines=2 try 2 "refused this client (the proof does not match this server's installation key)" \
    send Keyed Plant1 a=1 --timeout 1.5
  expect_err "send with another key" "a server was reached, but the installation-key proof failed"
  stop_listener "keyed"
  lacks "$cfg" 'SERVICE: Keyed '
  holds "$work/keyed.log" "fails the installation-key check"
  rm -f "$key"
}

for t in $(declare -F | awk '$3 ~ /^test_/ { print $3 }'); do
  before=$failures; $t
  cp "$default_cfg" "$cfg"   # each test starts from the shipped service file
  [ "$failures" -eq "$before" ] && echo "ok: $t" || echo "not ok: $t"
done
finish
