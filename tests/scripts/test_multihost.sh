#!/usr/bin/env bash
# Three hosts on one network, run by ctest inside scripts/netns-run: three
# network namespaces made inside the test's own, joined by veth pairs on a
# bridge (10.77.0.1-3/24, multicast routed to each host's veth). Each host
# has its own installation home whose service file holds only the multicast
# entry. A client daemon on host 1 finds the echo server on host 2 through
# the multicast group alone and exchanges records with it; the server is
# then killed on host 2 and started on host 3, and the client follows it.
# Runs at the production delays. Every step has a time limit; everything
# made here is removed on every path.
set -u

hosts_dir="$KSX_BUILD_DIR/tests"
server_program="$hosts_dir/ksx_e2e_server"
client_program="$hosts_dir/ksx_e2e_client"
guard=40                         # seconds a step may take before the test gives up
tag=$$                           # makes the names of this run's links unique
bridge="mhbr$tag"
work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-multihost.XXXXXX")
unset KSX_TIME_SCALE             # the library's own retry and greeting delays
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"

cleanup() {
  exec 7>&- 2>/dev/null
  cleanup_hosts
  for i in 1 2 3; do ip link del "mhb$i$tag" 2>/dev/null; done
  ip link del "$bridge" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# wait_prefix FILE PREFIX: waits for a line starting with PREFIX; the last such line goes to $found.
wait_prefix() {
  local deadline=$((SECONDS + guard))
  until grep -q -- "^$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "no line starting '$2' in $(basename "$1") within ${guard}s"
    sleep 0.1
  done
  found=$(grep -- "^$2" "$1" | tail -n 1)
}

# make_host I: a host with 10.77.0.I on a veth whose peer is on the bridge.
make_host() {
  local i=$1 inner="mhh$1$tag" outer="mhb$1$tag"
  new_host
  ip link add "$inner" type veth peer name "$outer" || fail "cannot create the veth pair of host $i"
  ip link set "$outer" master "$bridge" up || fail "cannot attach host $i to the bridge"
  host_link "$i" "$inner" "10.77.0.$i/24"
  route_multicast "$i" "$inner"
  new_home "host$i"
}

# start_server HOST: the echo server on that host; its port goes to $port, its pid to $server.
start_server() {
  local i=$1 log="$work/server$1.log"
  $(enter "$i") env KSX_HOME="$work/host$i" KSX_HOST_ADDRS="10.77.0.$i" \
    "$server_program" Echo Lab </dev/null >"$log" 2>&1 7>&- &  # not holding the client's input
  server=$!
  daemons+=($server)
  wait_prefix "$log" "LISTENING "
  [ "${found##* }" = "10.77.0.$i" ] || fail "server on host $i: '$found'"
  port=${found#LISTENING }
  port=${port%% *}
}

# round_trip SERVERLOG TEXT: a record from the client to the server and its echo.
round_trip() {
  echo "SEND $2" >&7
  wait_count "$work/client.log" "SENT 1" "$3"
  wait_count "$1" "RECV far-1 $2" 1
  wait_count "$work/client.log" "RECV $2" 1
}

ip link add "$bridge" type bridge mcast_snooping 0 || fail "cannot create the bridge"
ip link set "$bridge" up
for i in 1 2 3; do make_host "$i"; done

start_server 2
mkfifo "$work/client.in"
exec 7<>"$work/client.in"  # read-write: opening does not wait for the client
$(enter 1) env KSX_HOME="$work/host1" KSX_HOST_ADDRS=10.77.0.1 \
  "$client_program" Echo Lab far-1 <"$work/client.in" >"$work/client.log" 2>&1 7>&- &
client=$!
daemons+=($client)

wait_count "$work/client.log" CONNECTED 1
wait_count "$work/server2.log" "CLIENT far-1" 1
echo SERVER >&7
wait_count "$work/client.log" "SERVER 10.77.0.2 $port" 1
round_trip "$work/server2.log" first 1

kill -9 "$server"
wait "$server" 2>/dev/null
wait_count "$work/client.log" DISCONNECTED 1
start_server 3
wait_count "$work/client.log" CONNECTED 2
wait_count "$work/server3.log" "CLIENT far-1" 1
echo SERVER >&7
wait_count "$work/client.log" "SERVER 10.77.0.3 $port" 1
round_trip "$work/server3.log" second 2

exec 7>&-
deadline=$((SECONDS + guard))
while kill -0 "$client" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the client did not end after its input closed"
  sleep 0.1
done
wait "$client" || fail "the client ended with status $?"
[ "$(count "$work/client.log" CONNECTED)" -eq 2 ] || fail "the client connected $(count "$work/client.log" CONNECTED) times"
[ "$(count "$work/client.log" DISCONNECTED)" -eq 1 ] || fail "the client lost its server $(count "$work/client.log" DISCONNECTED) times"
echo "PASS: the client on host 1 found the server on host 2, then on host 3, through multicast alone"
