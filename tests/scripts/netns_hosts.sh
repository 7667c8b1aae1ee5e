# Hosts for the scripted tests that need several of them, sourced by those
# tests (run by ctest inside scripts/netns-run, so everything made here lives
# in the test's own network namespace). A host is a network namespace kept
# alive by a holder process and numbered from 1 in the order it was made;
# veth links join hosts, with addresses that exist only there.
#
# The sourcing script sets $work (a directory of its own, holding the logs
# that fail prints) and $guard (seconds a step may take), and calls
# cleanup_hosts from its EXIT trap.

holders=()  # one process per host keeping its namespace alive
daemons=()  # processes started in the hosts, killed on every way out

# cleanup_hosts: kills the daemons, anything else still running in a host's
# namespace, and the holders; the namespaces go with them, and the veth ends
# inside them with their peers.
cleanup_hosts() {
  local pid holder proc
  for pid in "${daemons[@]}"; do kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  for holder in "${holders[@]}"; do
    [ -e "/proc/$holder/ns/net" ] || continue
    for proc in /proc/[0-9]*; do  # -ef: the same namespace, without a process per test
      [ "${proc#/proc/}" = "$holder" ] || ! [ "$proc/ns/net" -ef "/proc/$holder/ns/net" ] ||
        kill -9 "${proc#/proc/}" 2>/dev/null
    done
    kill -9 "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
  done
}

# fail TEXT: says what failed, shows every log of $work and ends the test.
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    [ -e "$log" ] || continue
    echo "---- $(basename "$log")"
    cat "$log"
  done
  exit 1
}

# on HOST COMMAND...: runs the command in that host's network namespace. A
# daemon is started with "$(enter HOST)" instead, so that $! is its own pid.
on() { nsenter -t "${holders[$(($1 - 1))]}" -n -- "${@:2}"; }
enter() { echo "nsenter -t ${holders[$(($1 - 1))]} -n --"; }

# count FILE LINE: how often FILE holds the exact LINE.
count() { grep -cxF -- "$2" "$1" 2>/dev/null; }

# wait_count FILE LINE N: waits until FILE holds the exact LINE at least N times.
wait_count() {
  local deadline=$((SECONDS + guard))
  while [ "$(count "$1" "$2")" -lt "$3" ]; do
    [ $SECONDS -lt $deadline ] || fail "no '$2' (x$3) in $(basename "$1") within ${guard}s"
    sleep 0.05
  done
}

# new_host: a new host, loopback up; it is number ${#holders[@]}.
new_host() {
  local own
  unshare -n -- sleep infinity &
  holders+=($!)
  own=$(readlink /proc/self/ns/net)
  until [ -e "/proc/$!/ns/net" ] && [ "$(readlink "/proc/$!/ns/net")" != "$own" ]; do sleep 0.01; done
  on "${#holders[@]}" ip link set lo up
}

# host_link HOST LINK ADDRESS/PREFIX: moves the link into the host, gives it
# the address and brings it up with multicast on.
host_link() {
  ip link set "$2" netns "${holders[$(($1 - 1))]}" || fail "cannot move $2 into host $1"
  on "$1" ip addr add "$3" dev "$2"
  on "$1" ip link set "$2" multicast on up
}

# route_multicast HOST LINK: the host's route for 224.0.0.0/4 goes by the link.
route_multicast() { on "$1" ip route add 224.0.0.0/4 dev "$2" || fail "cannot route multicast on host $1"; }

# new_home NAME: an installation home under $work whose service file holds
# only the shipped multicast entry; its path goes to $home.
new_home() {
  home="$work/$1"
  mkdir -p "$home/etc/ostravine"
  grep '^SERVICE: *MulticastService' "$KSX_SOURCE_DIR/etc/ServiceData.cfg.default" \
    >"$home/etc/ostravine/ServiceData.cfg" || fail "the shipped service file has no multicast entry"
}
