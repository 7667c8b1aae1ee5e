#!/usr/bin/env bash
# Three hosts on a bridge (10.77.0.1-3/24) in scripts/netns-run, homes with only the multicast entry, production
# delays: the client on host 1 finds the echo server on host 2 by multicast alone, then follows it to host 3.
set -u

hosts_dir="$KSX_BUILD_DIR/tests"
guard=40                         # seconds a step may take before the test gives up
unset KSX_TIME_SCALE             # the library's own retry and greeting delays
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"
bridge="mhbr$tag"

# make_host I: a host with 10.77.0.I on a veth whose peer is on the bridge.
make_host() {
  new_host
  new_link veth "mhb$1$tag" peer name "mhh$1$tag"
  ip link set "mhb$1$tag" master "$bridge" up || fail "cannot attach host $1 to the bridge"
  host_link "$1" "mhh$1$tag" "10.77.0.$1/24"
  new_home "host$1"
}

# serve HOST N: the echo server on HOST (pid in $server), joined by far-1 the Nth time; address and record checked.
serve() {
  local log="$work/server$1.log"
  daemon_on "$1" /dev/null "$log" env KSX_HOME="$work/host$1" KSX_HOST_ADDRS="10.77.0.$1" \
    "$hosts_dir/ksx_e2e_server" Echo Lab
  server=$!
  wait_prefix "$log" "LISTENING "
  [ "${found##* }" = "10.77.0.$1" ] || fail "server on host $1: '$found'"
  [ "$2" -gt 1 ] || start_client
  wait_count "$work/client.log" CONNECTED "$2"
  wait_count "$log" "CLIENT far-1" 1
  echo SERVER >&7
  wait_count "$work/client.log" "SERVER 10.77.0.$1 $(cut -d' ' -f2 <<<"$found")" 1
  echo "SEND text-$2" >&7
  wait_count "$work/client.log" "SENT 1" "$2"
  wait_count "$log" "RECV far-1 text-$2" 1
  wait_count "$work/client.log" "RECV text-$2" 1
}

start_client() {
  mkfifo "$work/client.in"
  exec 7<>"$work/client.in"  # read-write: opening does not wait for the client
  daemon_on 1 "$work/client.in" "$work/client.log" env KSX_HOME="$work/host1" KSX_HOST_ADDRS=10.77.0.1 \
    "$hosts_dir/ksx_e2e_client" Echo Lab far-1
  client=$!
}

new_link bridge "$bridge" mcast_snooping 0
ip link set "$bridge" up
for i in 1 2 3; do make_host "$i"; done

serve 2 1
kill -9 "$server"
wait "$server" 2>/dev/null
wait_count "$work/client.log" DISCONNECTED 1
serve 3 2

exec 7>&-
gone() { ! kill -0 "$1" 2>/dev/null; }
wait_until "end of the client after its input closed" gone "$client"
wait "$client" || fail "the client ended with status $?"
[ "$(count "$work/client.log" CONNECTED)" -eq 2 ] || fail "the client connected $(count "$work/client.log" CONNECTED) times"
[ "$(count "$work/client.log" DISCONNECTED)" -eq 1 ] || fail "the client lost its server $(count "$work/client.log" DISCONNECTED) times"
echo "PASS: the client on host 1 found the server on host 2, then on host 3, through multicast alone"
