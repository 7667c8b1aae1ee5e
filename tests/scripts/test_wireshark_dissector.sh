#!/usr/bin/env bash
# The Wireshark dissector (tools/wireshark/ksxcomms.lua) under tshark in scripts/netns-run: a capture of the demo,
# a live keep-alive, and a crafted capture of what the demo does not send.
set -u

lua="$KSX_SOURCE_DIR/tools/wireshark/ksxcomms.lua"
tools="$KSX_BUILD_DIR/tools"
export KSX_TIME_SCALE=0.1 # shortens the library's greeting, retry and keep-alive delays
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

command -v tshark >/dev/null && command -v dumpcap >/dev/null && command -v text2pcap >/dev/null ||
  { echo "FAIL: tshark, dumpcap or text2pcap is missing (bash scripts/install-deps.sh installs them)"; exit 1; }

# tshark with the dissector, whose heuristic goes before port-based dissectors; decode CAPTURE ARGS... reads a file.
dissect=(tshark -X "lua_script:$lua" -o tcp.try_heuristic_first:TRUE)
decode() { "${dissect[@]}" -r "$@" 2>"$work/tshark.err"; }

# expect_lines TEST N TEXT FILE: the count of FILE's lines holding TEXT compares to N by TEST (-eq, -ge);
# has FILE TEXT...: FILE holds each TEXT.
expect_lines() { local got; got=$(grep -cF -- "$3" "$4"); [ "$got" "$1" "$2" ] || fail "$got lines with '$3', wanted $1 $2"; }
has() { local text; for text in "${@:2}"; do grep -qF -- "$text" "$1" || fail "$(basename "$1") lacks '$text'"; done; }

test_demo_capture_decodes() {
  local capture="$work/demo.pcapng" log="$work/demo.log" info="$work/info.txt" tree="$work/tree.txt"
  start "$work/dumpcap.log" "Capturing on" dumpcap -i lo -q -w "$capture" || return
  "$tools/ksx_demo" --service-file "$KSX_SOURCE_DIR/etc/ServiceData.cfg.default" >"$log" 2>&1
  local rc=$?
  # dumpcap writes what it captures a little late, and stopped at once it loses the last of it: it is stopped
  # once the file holds the demo's last records (the second broadcast, to both clients).
  for _ in $(seq 40); do
    [ $rc -eq 0 ] || break # a failed demo has nothing to wait for
    [ "$(decode "$capture" -Y ksxcomms -T fields -e _ws.col.Info | grep -c 'kind="broadcast", seq=2')" -ge 2 ] && break
    sleep 0.25
  done
  kill -INT "$started" && wait "$started"
  [ $rc -eq 0 ] || { fail "the demo failed ($rc): $(tail -5 "$log")"; return; }

  decode "$capture" -Y ksxcomms -T fields -e _ws.col.Info >"$info" || fail "tshark failed: $(cat "$work/tshark.err")"
  decode "$capture" -Y ksxcomms -O ksxcomms >"$tree"
  grep -q 'Lua Error' "$work/tshark.err" "$tree" && fail "the dissector raised a Lua error"

  # Each client greets once per server run; every request, answer and broadcast shows once per client.
  local id seq
  for id in client-A client-B; do
    expect_lines -eq 2 "Greeting, client id \"$id\"" "$info"
    has "$tree" "KesSocketClientIdField: \"$id\" (str)"
    for seq in 1 2 3 4 5; do
      expect_lines -eq 1 "$id -> server: Record {kind=\"request\", seq=$seq, text=\"hello from the demo\"}" "$info"
      expect_lines -eq 1 "server -> $id: Record {kind=\"answer\", seq=$seq, text=\"answered by the demo server\"}" "$info"
    done
    for seq in 1 2; do
      expect_lines -eq 1 "server -> $id: Record {kind=\"broadcast\", seq=$seq, text=\"news for every client\"}" "$info"
    done
  done
  has "$tree" 'seq: 4 (int)' 'Integer: 4'

  # client-B (no entry for the service) asks by multicast per server run; each reply carries what that server printed.
  expect_lines -ge 2 'Address request, service DemoEcho, domain Demo' "$info"
  local served at
  served=$(sed -n 's/.*server | @serving .*address=\([0-9.]*\) port=\([0-9]*\).*/\1:\2/p' "$log")
  [ "$(wc -l <<<"$served")" -eq 2 ] || fail "the demo log does not show two server starts"
  for at in $served; do
    has "$info" "Address reply, service DemoEcho, domain Demo at $at"
    has "$tree" "KesSockInternalPort: ${at##*:} (int)"
  done
  [ $failures -eq 0 ] || { echo "--- decoded:"; cat "$info"; }
}

test_keep_alive_is_marked() {
  local decoded="$work/live.txt"   # -l: each packet as it is dissected
  start "$decoded" "Capturing on" "${dissect[@]}" -l -i lo -Y ksxcomms -T fields -e ksxcomms.kind -e ksxcomms.client_id \
    -e ksxcomms.direction || return
  start "$work/server.log" "@serving" "$tools/ksx_demo_server" || return
  start "$work/client.log" "@connected" "$tools/ksx_demo_client" client-K || return
  # The client sends a keep-alive every second (scaled) while connected.
  wait_for "$(printf 'keep-alive\tclient-K\tclient to server')" "$decoded" ||
    fail "no keep-alive marked as such: $(cat "$decoded")"
  has "$decoded" "$(printf 'greeting\tclient-K\tclient to server')"
}

# hex_dump DIRECTION HEX: one packet for text2pcap -D (O: from the client).
hex_dump() { echo "$1"; echo "$2" | fold -w2 | awk '{ printf "%s%s", (NR % 16 == 1 ? sprintf("%s%06x ", NR == 1 ? "" : "\n", NR - 1) : " "), $1 } END { print "" }'; }

test_crafted_stream() {
  local capture="$work/crafted.pcap" info="$work/crafted-info.txt"
  # An independent MessagePack writer (python3-msgpack) makes the frames, one segment (direction, hex) a line.
  /usr/bin/python3 - >"$work/frames.txt" <<'PY' || { fail "cannot make the crafted frames"; return; }
import struct, msgpack
def frame(record):
    body = msgpack.packb(record, use_bin_type=True)
    return struct.pack(">I", len(body)) + body
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
PY
  while read -r dir hex; do hex_dump "$dir" "$hex"; done <"$work/frames.txt" >"$work/ours.hex"
  # Not ours: a plausible length followed by something other than a map.
  { hex_dump O "000000056865006c6f"; hex_dump O "0000000381010203"; } >"$work/other.hex"
  text2pcap -q -D -T 40000,50000 "$work/ours.hex" "$work/ours.pcap" >"$work/text2pcap.log" 2>&1 &&
    text2pcap -q -D -T 40001,50001 "$work/other.hex" "$work/other.pcap" >>"$work/text2pcap.log" 2>&1 ||
    { fail "text2pcap failed"; return; }
  mergecap -a -w "$capture" "$work/ours.pcap" "$work/other.pcap"

  decode "$capture" -T fields -e frame.number -e _ws.col.Protocol -e _ws.col.Info >"$info"
  # Frame 2 ends the record cut across segments, which must show whole there.
  local want
  for want in '1\tKSXComms\tGreeting, client id "crafted"$' \
    '2\tKSXComms\tcrafted -> server: Record \{small=7, negative=-5, int8=-100, ' \
    '3\tKSXComms\tserver -> crafted: Record \{n=1\} \| server -> crafted: Record \{n=2\}$' \
    '4\tKSXComms\t.*Malformed record: .*\(nil\)' '5\tKSXComms\t.*above the packet limit' \
    '6\tKSXComms\t.*Installation-key challenge$' '7\tKSXComms\t.*Installation-key proof of the client$' \
    '8\tKSXComms\t.*Installation-key refusal: "another key"$'; do
    grep -qP "^$want" "$info" || fail "no line '$want' in: $(cat "$info")"
  done
  grep -P '^(9|10)\t' "$info" | grep -q KSXComms && fail "data that is not ours was claimed: $(cat "$info")"

  local values long
  values=$(decode "$capture" -Y frame.number==2 -T fields -E separator=";" \
    -e ksxcomms.int -e ksxcomms.float -e ksxcomms.bin -e ksxcomms.str)
  long=$(printf 'x%.0s' $(seq 300))
  [ "$values" = "7,-5,-100,1000,-70000,4000000000,-1099511627776,9223372036854775807;1.5;0001fe;,$long,grüße" ] ||
    fail "values of every form: $values"
}

test_demo_capture_decodes
test_keep_alive_is_marked
test_crafted_stream
finish
