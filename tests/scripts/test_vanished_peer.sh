#!/usr/bin/env bash
# A peer that vanishes without closing, run by ctest inside scripts/netns-run:
# two network namespaces made inside the test's own, joined by one veth pair
# (10.78.0.1 the server, 10.78.0.2 the client). The echo server and a client
# daemon exchange a record; then the server's end of the link goes down, so
# nothing of either side reaches the other (no FIN, no reset), as when a
# cable is pulled. The client's keep-alive stays unacknowledged and the
# server's record to the client too: both must report the loss within the
# bound (45 s, on the test's time scale), and once the link is back the
# client connects again and a record goes through. Everything made here is
# removed on every path.
set -u

hosts_dir="$KSX_BUILD_DIR/tests"
server_program="$hosts_dir/ksx_e2e_server"
client_program="$hosts_dir/ksx_e2e_client"
export KSX_TIME_SCALE=0.3       # keep-alive 3 s, unacknowledged-data bound 9 s, idle limit 10.5 s
bound_ms=13500                  # 45 s on that scale
guard=20                        # seconds a step may take before the test gives up
tag=$$                          # makes the names of this run's links unique
server_link="vps$tag"
client_link="vpc$tag"
work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-vanish.XXXXXX")
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"

cleanup() {
  exec 7>&- 8>&- 2>/dev/null
  cleanup_hosts
  ip link del "$server_link" 2>/dev/null  # gone with its namespace already, unless moving it failed
  rm -rf "$work"
}
trap cleanup EXIT

# both_within_bound: waits for the client's DISCONNECTED and the server's
# GONE, noting when each first appears; fails when either came later than
# the bound after the link went down.
both_within_bound() {
  local client_at="" server_at="" deadline=$((SECONDS + guard))
  while [ -z "$client_at" ] || [ -z "$server_at" ]; do
    [ $SECONDS -lt $deadline ] || fail "the loss was not reported on both sides within ${guard}s"
    [ -n "$client_at" ] || [ "$(count "$work/client.log" DISCONNECTED)" -eq 0 ] || client_at=$(now_ms)
    [ -n "$server_at" ] || [ "$(count "$work/server.log" "GONE far-1")" -eq 0 ] || server_at=$(now_ms)
    sleep 0.02
  done
  echo "the client noticed $((client_at - down_at)) ms, the server $((server_at - down_at)) ms after the link went down"
  [ $((client_at - down_at)) -le $bound_ms ] || fail "the client noticed the loss later than ${bound_ms} ms"
  [ $((server_at - down_at)) -le $bound_ms ] || fail "the server noticed the loss later than ${bound_ms} ms"
}

now_ms() { local us=${EPOCHREALTIME/./}; echo $((us / 1000)); }

# make_host I LINK: a host holding LINK with 10.78.0.I.
make_host() {
  new_host
  host_link "$1" "$2" "10.78.0.$1/24"
  route_multicast "$1" "$2"
}

ip link add "$server_link" type veth peer name "$client_link" || fail "cannot create the veth pair"
make_host 1 "$server_link"
make_host 2 "$client_link"

# Both find each other through the test's service file (KSX_HOME), where the
# server publishes its address.
mkfifo "$work/server.in" "$work/client.in"
exec 7<>"$work/server.in" 8<>"$work/client.in"  # read-write: opening does not wait
$(enter 1) env KSX_HOST_ADDRS=10.78.0.1 "$server_program" Echo Lab \
  <"$work/server.in" >"$work/server.log" 2>&1 7>&- 8>&- &
daemons+=($!)
$(enter 2) env KSX_HOST_ADDRS=10.78.0.2 "$client_program" Echo Lab far-1 \
  <"$work/client.in" >"$work/client.log" 2>&1 7>&- 8>&- &
daemons+=($!)

wait_count "$work/client.log" CONNECTED 1
connected_at=$(now_ms)
wait_count "$work/server.log" "CLIENT far-1" 1
echo "SEND before" >&8
wait_count "$work/server.log" "RECV far-1 before" 1
wait_count "$work/client.log" "RECV before" 1

# The first keep-alive follows a connection after the retry and keep-alive
# waits (13 s); the link goes down just after it, so that, as in a long-lived
# connection, the next keep-alive (10 s later) is the one that is lost.
pause=$((connected_at + 13 * 300 + 300 - $(now_ms)))
[ $pause -le 0 ] || sleep "$(printf '%d.%03d' $((pause / 1000)) $((pause % 1000)))"
on 1 ip link set "$server_link" down || fail "cannot take the link down"
down_at=$(now_ms)
echo "SENDTO far-1 into-the-void" >&7
wait_count "$work/server.log" "SENDTO 1" 1
both_within_bound

on 1 ip link set "$server_link" up || fail "cannot bring the link up"
wait_count "$work/client.log" CONNECTED 2
wait_count "$work/server.log" "CLIENT far-1" 2
echo "SEND after" >&8
wait_count "$work/server.log" "RECV far-1 after" 1
wait_count "$work/client.log" "RECV after" 1

[ "$(count "$work/client.log" DISCONNECTED)" -eq 1 ] || fail "the client lost its server more than once"
[ "$(count "$work/server.log" "GONE far-1")" -eq 1 ] || fail "the server lost its client more than once"
[ "$(count "$work/client.log" "NEWS into-the-void")" -eq 0 ] || fail "the record sent into the cut link arrived"
echo "PASS: both sides noticed the vanished peer within ${bound_ms} ms; the client came back with the link"
