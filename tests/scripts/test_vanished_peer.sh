#!/usr/bin/env bash
# A peer vanishing without closing (the server's veth end down, as a pulled cable), in scripts/netns-run: both sides
# report the loss within 45 s (scaled) by an unacknowledged keep-alive or record; with the link back records flow.
set -u

hosts_dir="$KSX_BUILD_DIR/tests"
export KSX_TIME_SCALE=0.3       # keep-alive 3 s, unacknowledged-data bound 9 s, idle limit 10.5 s
bound_ms=13500                  # 45 s on that scale
guard=20                        # seconds a step may take before the test gives up
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"
server_link="vps$tag"
client_link="vpc$tag"

now_ms() { local us=${EPOCHREALTIME/./}; echo $((us / 1000)); }

# noticed FILE LINE: FILE holds LINE within the bound after the link went down (checked in turn, both stay bounded).
noticed() {
  wait_count "$1" "$2" 1
  local after=$(($(now_ms) - down_at))
  echo "'$2' by $after ms after the link went down"
  [ $after -le $bound_ms ] || fail "'$2' came later than ${bound_ms} ms after the link went down"
}

# exchange TEXT N: the client's record reaches the server and its echo comes back, over connection N.
exchange() {
  wait_count "$work/client.log" CONNECTED "$2"
  wait_count "$work/server.log" "CLIENT far-1" "$2"
  echo "SEND $1" >&8
  wait_count "$work/server.log" "RECV far-1 $1" 1
  wait_count "$work/client.log" "RECV $1" 1
}

new_link veth "$server_link" peer name "$client_link"
new_host; host_link 1 "$server_link" 10.78.0.1/24
new_host; host_link 2 "$client_link" 10.78.0.2/24

# Both find each other through the test's service file (KSX_HOME), where the server publishes.
mkfifo "$work/server.in" "$work/client.in"
exec 7<>"$work/server.in" 8<>"$work/client.in"  # read-write: opening does not wait
daemon_on 1 "$work/server.in" "$work/server.log" env KSX_HOST_ADDRS=10.78.0.1 "$hosts_dir/ksx_e2e_server" Echo Lab
daemon_on 2 "$work/client.in" "$work/client.log" env KSX_HOST_ADDRS=10.78.0.2 "$hosts_dir/ksx_e2e_client" Echo Lab far-1
wait_count "$work/client.log" CONNECTED 1
connected_at=$(now_ms)
exchange before 1

# Cut just after the first keep-alive (13 s scaled after connecting): the next one is lost, as on a long-lived line.
pause=$((connected_at + 13 * 300 + 300 - $(now_ms)))
[ $pause -le 0 ] || sleep "$(printf '%d.%03d' $((pause / 1000)) $((pause % 1000)))"
on 1 ip link set "$server_link" down || fail "cannot take the link down"
down_at=$(now_ms)
echo "SENDTO far-1 into-the-void" >&7
wait_count "$work/server.log" "SENDTO 1" 1
noticed "$work/client.log" DISCONNECTED
noticed "$work/server.log" "GONE far-1"

on 1 ip link set "$server_link" up || fail "cannot bring the link up"
exchange after 2
[ "$(count "$work/client.log" DISCONNECTED)" -eq 1 ] || fail "the client lost its server more than once"
[ "$(count "$work/server.log" "GONE far-1")" -eq 1 ] || fail "the server lost its client more than once"
[ "$(count "$work/client.log" "NEWS into-the-void")" -eq 0 ] || fail "the record sent into the cut link arrived"
echo "PASS: both sides noticed the vanished peer within ${bound_ms} ms; the client came back with the link"
