#!/usr/bin/env bash
# Discovery on a chosen interface, inside scripts/netns-run: host 1 reaches host 2 by the plant link
# (10.79.1.0/24) and host 3 by the management link (10.79.2.0/24), which carries its multicast route;
# hosts 2 and 3 serve Echo in Lab. Only the host on the link KSX_MULTICAST_IF names (by name or by
# address) may answer host 1's probe; without it, or with another host's address (reported once), the
# route's link is used.
set -u

ctl="$KSX_BUILD_DIR/tools/ksxctl"
guard=20                        # seconds a step may take before the test gives up
export KSX_TIME_SCALE=0.1       # shortens the library's fixed delays
source "$(dirname "${BASH_SOURCE[0]}")/netns_hosts.sh"
plant="mip$tag"                 # host 1's end of the plant link
mgmt="mim$tag"                  # host 1's end of the management link

# listen HOST ADDRESS: Echo in Lab served on that host, published at that address.
listen() {
  new_home "host$1"
  daemon_on "$1" /dev/null "$work/listen$1.log" env KSX_HOME="$home" KSX_HOST_ADDRS="$2" "$ctl" listen Echo Lab
  wait_prefix "$work/listen$1.log" "listening for Echo in Lab at $2:"
}

# probe NAME WANTED REPORTS [VARIABLE=VALUE]: a 2 s probe on host 1 must be answered by exactly
# WANTED (sorted addresses) and give REPORTS reports of an interface that is not host 1's.
probe() {
  local out="$work/probe-$1.log" err="$work/probe-$1.err" answered reports
  on 1 env KSX_HOME="$work/host1" "${@:4}" "$ctl" probe Echo Lab --timeout 2 >"$out" 2>"$err"
  answered=$(awk 'NR > 1 { print $1 }' "$out" | sort -u | tr '\n' ' ')
  [ "$answered" = "$2" ] || fail "probe $1: answered by '$answered', wanted '$2'"
  reports=$(grep -c "KSX-ERROR -220442 " "$err")
  [ "$reports" -eq "$3" ] || fail "probe $1: $reports reports, wanted $3: $(cat "$err")"
}

new_link veth "$plant" peer name mip2
new_link veth "$mgmt" peer name mim3
for i in 1 2 3; do new_host; done
host_link 1 "$plant" 10.79.1.1/24 no-route
host_link 1 "$mgmt" 10.79.2.1/24
host_link 2 mip2 10.79.1.2/24
host_link 3 mim3 10.79.2.3/24
new_home host1
listen 2 10.79.1.2
listen 3 10.79.2.3

probe route "10.79.2.3 " 0
probe by-name "10.79.1.2 " 0 KSX_MULTICAST_IF="$plant"
probe by-address "10.79.1.2 " 0 KSX_MULTICAST_IF=" 10.79.1.1 "
probe foreign "10.79.2.3 " 1 KSX_MULTICAST_IF=10.79.1.2
grep -q 'KSX_MULTICAST_IF "10.79.1.2" is neither' "$work/probe-foreign.err" ||
  fail "the report does not name the value: $(cat "$work/probe-foreign.err")"
echo "PASS: a probe on host 1 left by the chosen link and was answered there; a foreign value fell back to the route"
