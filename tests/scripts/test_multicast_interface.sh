#!/usr/bin/env bash
# Discovery on a chosen interface, run by ctest inside scripts/netns-run: host
# 1 has two links, one to host 2 (the plant network, 10.79.1.0/24) and one to
# host 3 (the management network, 10.79.2.0/24), and routes multicast by the
# management link. Hosts 2 and 3 each serve Echo in Lab with `ksxctl listen`.
# `ksxctl probe` on host 1 asks who serves it: with KSX_MULTICAST_IF naming
# the plant link (by name or by its address) only host 2 answers, which shows
# that the request left by that link, not by the route, and that the reply
# was received there; without it only host 3 answers; a value that is not
# host 1's is reported once and leaves the route's link. Everything made here
# is removed on every path.
set -u

ctl="$KSX_BUILD_DIR/tools/ksxctl"
guard=20                        # seconds a step may take before the test gives up
wait_s=2                        # how long each probe collects replies
tag=$$                          # makes the names of this run's links unique
plant="mip$tag"                 # host 1's end of the plant link
mgmt="mim$tag"                  # host 1's end of the management link
work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-mcif.XXXXXX")
export KSX_TIME_SCALE=0.1       # shortens the library's fixed delays
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"

cleanup() {
  cleanup_hosts
  ip link del "$plant" 2>/dev/null  # gone with their namespaces already, unless moving failed
  ip link del "$mgmt" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# listen HOST ADDRESS: Echo in Lab served on that host, published at that address.
listen() {
  local log="$work/listen$1.log"
  new_home "host$1"
  $(enter "$1") env KSX_HOME="$home" KSX_HOST_ADDRS="$2" "$ctl" listen Echo Lab >"$log" 2>&1 &
  daemons+=($!)
  local deadline=$((SECONDS + guard))
  until grep -q "^listening for Echo in Lab at $2:" "$log" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "host $1 did not start listening within ${guard}s"
    sleep 0.05
  done
}

# probe NAME [VARIABLE=VALUE]: ksxctl probe on host 1 with that environment;
# the addresses that answered go to $answered, the library's reports of an
# interface that is not the host's to $reports.
probe() {
  local out="$work/probe-$1.log" err="$work/probe-$1.err"
  on 1 env KSX_HOME="$work/host1" "${@:2}" "$ctl" probe Echo Lab --timeout "$wait_s" >"$out" 2>"$err"
  answered=$(awk 'NR > 1 { print $1 }' "$out" | sort -u | tr '\n' ' ')
  reports=$(grep -c "KSX-ERROR -220442 " "$err")
}

# expect NAME WANTED: the probe's answers were exactly WANTED (addresses, sorted).
expect() { [ "$answered" = "$2" ] || fail "probe $1: answered by '$answered', wanted '$2'"; }

ip link add "$plant" type veth peer name mip2 || fail "cannot create the plant link"
ip link add "$mgmt" type veth peer name mim3 || fail "cannot create the management link"
for i in 1 2 3; do new_host; done
host_link 1 "$plant" 10.79.1.1/24
host_link 1 "$mgmt" 10.79.2.1/24
route_multicast 1 "$mgmt"
host_link 2 mip2 10.79.1.2/24
route_multicast 2 mip2
host_link 3 mim3 10.79.2.3/24
route_multicast 3 mim3
new_home host1

listen 2 10.79.1.2
listen 3 10.79.2.3

probe route
expect route "10.79.2.3 "
probe by-name KSX_MULTICAST_IF="$plant"
expect by-name "10.79.1.2 "
probe by-address KSX_MULTICAST_IF=" 10.79.1.1 "
expect by-address "10.79.1.2 "
[ "$reports" -eq 0 ] || fail "a good interface was reported: $(cat "$work/probe-by-address.err")"

probe foreign KSX_MULTICAST_IF=10.79.1.2
expect foreign "10.79.2.3 "
[ "$reports" -eq 1 ] || fail "host 2's address was reported $reports times, wanted once"
grep -q 'KSX_MULTICAST_IF "10.79.1.2" is neither' "$work/probe-foreign.err" ||
  fail "the report does not name the value: $(cat "$work/probe-foreign.err")"
echo "PASS: a probe on host 1 left by the chosen link and was answered there; a foreign value fell back to the route"
