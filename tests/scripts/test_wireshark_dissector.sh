#!/usr/bin/env bash
# Checks the Wireshark dissector (tools/wireshark/ksxcomms.lua) with tshark,
# run by ctest inside scripts/netns-run (only loopback, own KSX_HOME):
#   1. loopback is captured while the demo runs; the capture, decoded with the
#      dissector, shows each client's greeting, every record's values with
#      their direction, and the address requests and replies;
#   2. a keep-alive between the demo daemons is marked as such, decoded live;
#   3. a crafted capture covers what the demo does not send: a frame cut
#      across segments, two frames in one segment, every value form, refused
#      forms, a length above the limit, and TCP data that is not ours.
set -u

lua="$KSX_SOURCE_DIR/tools/wireshark/ksxcomms.lua"
tools="$KSX_BUILD_DIR/tools"
work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-wireshark-test.XXXXXX")
export KSX_TIME_SCALE=0.1 # shortens the library's greeting, retry and keep-alive delays
failures=0
background=()

cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

command -v tshark >/dev/null && command -v dumpcap >/dev/null && command -v text2pcap >/dev/null ||
  { echo "FAIL: tshark, dumpcap or text2pcap is missing (bash scripts/install-deps.sh installs them)"; exit 1; }

# decode CAPTURE ARGS...: tshark with the dissector; the heuristic is tried
# before port-based dissectors, which may own a system-chosen port.
decode() {
  local capture=$1; shift
  tshark -X "lua_script:$lua" -o tcp.try_heuristic_first:TRUE -r "$capture" "$@" 2>"$work/tshark.err"
}

# expect_lines TEST N TEXT FILE WHAT: the number of lines of FILE that hold
# TEXT compares to N by TEST (-eq, -ge).
expect_lines() {
  local got
  got=$(grep -cF -- "$3" "$4")
  [ "$got" "$1" "$2" ] || fail "$5: $got lines with '$3', wanted $1 $2"
}

# wait_for TEXT FILE SECONDS
wait_for() {
  for _ in $(seq $(($3 * 10))); do grep -qF -- "$1" "$2" && return 0; sleep 0.1; done
  return 1
}

test_demo_capture_decodes() {
  local capture="$work/demo.pcapng" log="$work/demo.log" info="$work/info.txt" tree="$work/tree.txt"
  dumpcap -i lo -q -w "$capture" 2>"$work/dumpcap.err" &
  local capturer=$!
  wait_for "Capturing on" "$work/dumpcap.err" 10 || { fail "dumpcap did not start: $(cat "$work/dumpcap.err")"; return; }
  "$tools/ksx_demo" --service-file "$KSX_SOURCE_DIR/etc/ServiceData.cfg.default" >"$log" 2>&1
  local rc=$?
  kill -INT "$capturer"
  wait "$capturer"
  [ $rc -eq 0 ] || { fail "the demo failed ($rc): $(tail -5 "$log")"; return; }

  decode "$capture" -Y ksxcomms -T fields -e _ws.col.Info >"$info" || fail "tshark failed: $(cat "$work/tshark.err")"
  decode "$capture" -Y ksxcomms -O ksxcomms >"$tree"
  grep -q 'Lua Error' "$work/tshark.err" "$tree" && fail "the dissector raised a Lua error"

  # Each client greets once per server run, and the greeting names the connection.
  local id
  for id in client-A client-B; do
    expect_lines -eq 2 "Greeting, client id \"$id\"" "$info" "greetings"
    grep -qF "KesSocketClientIdField: \"$id\" (str)" "$tree" || fail "$id: no client-id value in the tree"
  done
  # Every request and answer once per client, with its values and direction;
  # each broadcast once per client.
  local seq
  for seq in 1 2 3 4 5; do
    for id in client-A client-B; do
      expect_lines -eq 1 "$id -> server: Record {kind=\"request\", seq=$seq, text=\"hello from the demo\"}" "$info" "requests"
      expect_lines -eq 1 "server -> $id: Record {kind=\"answer\", seq=$seq, text=\"answered by the demo server\"}" "$info" "answers"
    done
  done
  for seq in 1 2; do
    for id in client-A client-B; do
      expect_lines -eq 1 "server -> $id: Record {kind=\"broadcast\", seq=$seq, text=\"news for every client\"}" "$info" "broadcasts"
    done
  done
  grep -qF 'seq: 4 (int)' "$tree" || fail "no integer value in the tree"
  grep -qF 'Integer: 4' "$tree" || fail "no typed integer field in the tree"

  # client-B, whose file lacks the service, asks over multicast for each
  # server run (client-A too when it tries while no server runs); each
  # server's reply carries the address and port it printed when it started.
  expect_lines -ge 2 'Address request, service DemoEcho, domain Demo' "$info" "address requests"
  local served
  served=$(sed -n 's/.*server | @serving .*address=\([0-9.]*\) port=\([0-9]*\).*/\1:\2/p' "$log")
  [ "$(wc -l <<<"$served")" -eq 2 ] || fail "the demo log does not show two server starts"
  local at
  for at in $served; do
    expect_lines -ge 1 "Address reply, service DemoEcho, domain Demo at $at" "$info" "address replies"
    grep -qF "KesSockInternalPort: ${at##*:} (int)" "$tree" || fail "reply port ${at##*:} missing from the tree"
  done
  [ $failures -eq 0 ] || { echo "--- decoded:"; cat "$info"; }
}

test_keep_alive_is_marked() {
  local decoded="$work/live.txt" server_log="$work/server.log" client_log="$work/client.log"
  # Decodes live; -l prints each packet as it is dissected.
  tshark -l -i lo -X "lua_script:$lua" -o tcp.try_heuristic_first:TRUE -Y ksxcomms \
    -T fields -e ksxcomms.kind -e ksxcomms.client_id -e ksxcomms.direction >"$decoded" 2>"$work/live.err" &
  background+=($!)
  wait_for "Capturing on" "$work/live.err" 10 || { fail "tshark did not start: $(cat "$work/live.err")"; return; }
  "$tools/ksx_demo_server" </dev/null >"$server_log" 2>&1 &
  background+=($!)
  wait_for "@serving" "$server_log" 30 || { fail "the server did not start: $(cat "$server_log")"; return; }
  "$tools/ksx_demo_client" client-K </dev/null >"$client_log" 2>&1 &
  background+=($!)
  wait_for "@connected" "$client_log" 30 || fail "the client did not connect: $(cat "$client_log")"
  # The client sends a keep-alive every second (scaled) while connected.
  wait_for "$(printf 'keep-alive\tclient-K\tclient to server')" "$decoded" 30 ||
    fail "no keep-alive marked as such: $(cat "$decoded")"
  grep -qF "$(printf 'greeting\tclient-K\tclient to server')" "$decoded" || fail "no greeting of client-K: $(cat "$decoded")"
}

# hex_dump DIRECTION HEX: one packet for text2pcap -D (O: from the client).
hex_dump() { echo "$1"; echo "$2" | fold -w2 | awk '{ printf "%s%s", (NR % 16 == 1 ? sprintf("%s%06x ", NR == 1 ? "" : "\n", NR - 1) : " "), $1 } END { print "" }'; }

test_crafted_stream() {
  local frames="$work/frames.txt" capture="$work/crafted.pcap" info="$work/crafted-info.txt"
  # An independent MessagePack writer (Debian's python3-msgpack) makes the
  # frames; each line is one segment (direction and hex).
  /usr/bin/python3 - >"$frames" <<'EOF' || { fail "cannot make the crafted frames"; return; }
import struct, msgpack
def frame(record, length=None):
    body = msgpack.packb(record, use_bin_type=True)
    return struct.pack(">I", len(body) if length is None else length) + body
greeting = frame({"KesSocketClientIdField": "crafted"})
forms = frame({"small": 7, "negative": -5, "int8": -100, "uint16": 1000, "int32": -70000,
               "uint32": 4000000000, "int64": -2**40, "largest": 2**63 - 1, "float": 1.5,
               "bytes": b"\x00\x01\xfe", "empty": "", "long": "x" * 300, "utf8": "gr\u00fc\u00dfe"})
print("O", (greeting + forms[:7]).hex())                              # the greeting and the start of a frame
print("O", forms[7:].hex())                                           # the rest of it
print("I", (frame({"n": 1}) + frame({"n": 2})).hex())                 # two frames in one segment
print("O", frame({"a": None}).hex())                                  # a form no record holds
print("O", (struct.pack(">I", 0x7fffffff) + b"\x81\xa1a\x01").hex())  # above the packet limit
print("I", frame({"KesSockAuthChallenge": b"\x01" * 16}).hex())     # the installation-key exchange
print("O", frame({"KesSockAuthNonce": b"\x02" * 16, "KesSockAuthProof": b"\x03" * 32}).hex())
print("I", frame({"KesSockAuthRefused": "another key"}).hex())
EOF
  { while read -r dir hex; do hex_dump "$dir" "$hex"; done <"$frames"; } >"$work/frames.hex"
  text2pcap -q -D -T 40000,50000 "$work/frames.hex" "$work/ours.pcap" >"$work/text2pcap.log" 2>&1 || { fail "text2pcap failed"; return; }
  # Not ours: a plausible length followed by something other than a map.
  { hex_dump O "000000056865006c6f"; hex_dump O "0000000381010203"; } >"$work/other.hex"
  text2pcap -q -D -T 40001,50001 "$work/other.hex" "$work/other.pcap" >>"$work/text2pcap.log" 2>&1 || { fail "text2pcap failed"; return; }
  mergecap -a -w "$capture" "$work/ours.pcap" "$work/other.pcap"

  decode "$capture" -T fields -e frame.number -e _ws.col.Protocol -e _ws.col.Info >"$info"
  grep -qP '^1\tKSXComms\tGreeting, client id "crafted"$' "$info" || fail "crafted greeting: $(cat "$info")"
  grep -qP '^2\tKSXComms\tcrafted -> server: Record \{small=7, negative=-5, int8=-100, ' "$info" ||
    fail "the frame cut across segments is not shown whole in its last segment: $(cat "$info")"
  grep -qP '^3\tKSXComms\tserver -> crafted: Record \{n=1\} \| server -> crafted: Record \{n=2\}$' "$info" ||
    fail "two frames in one segment: $(cat "$info")"
  grep -qP '^4\tKSXComms\t.*Malformed record: .*\(nil\)' "$info" || fail "a nil value is not refused: $(cat "$info")"
  grep -qP '^5\tKSXComms\t.*above the packet limit' "$info" || fail "no over-limit frame: $(cat "$info")"
  grep -qP '^6\tKSXComms\t.*Installation-key challenge$' "$info" || fail "no key challenge: $(cat "$info")"
  grep -qP '^7\tKSXComms\t.*Installation-key proof of the client$' "$info" || fail "no client proof: $(cat "$info")"
  grep -qP '^8\tKSXComms\t.*Installation-key refusal: "another key"$' "$info" || fail "no refusal: $(cat "$info")"
  grep -P '^(9|10)\t' "$info" | grep -q KSXComms && fail "data that is not ours was claimed: $(cat "$info")"

  local values
  values=$(decode "$capture" -Y frame.number==2 -T fields -E separator=";" \
    -e ksxcomms.int -e ksxcomms.float -e ksxcomms.bin -e ksxcomms.str)
  local long
  long=$(printf 'x%.0s' $(seq 300))
  [ "$values" = "7,-5,-100,1000,-70000,4000000000,-1099511627776,9223372036854775807;1.5;0001fe;,$long,grüße" ] ||
    fail "values of every form: $values"
}

test_demo_capture_decodes
test_keep_alive_is_marked
test_crafted_stream

[ $failures -eq 0 ] && echo "test_wireshark_dissector: all checks passed"
exit $((failures > 0))
