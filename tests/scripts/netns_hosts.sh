# Hosts for multi-host scripts in scripts/netns-run: a namespace kept by a holder process, numbered from 1,
# joined by veth links. The script sets $guard (seconds a step may take); fail prints the logs of $work.

work=$(mktemp -d "${TMPDIR:-/tmp}/ksx-hosts.XXXXXX")
tag=$$      # makes the names of this run's links unique
holders=()  # one process per host keeping its namespace alive
daemons=()  # processes started in the hosts, killed on every way out
links=()    # links made outside the hosts, deleted on every way out
trap 'cleanup_hosts; for link in "${links[@]}"; do ip link del "$link" 2>/dev/null; done; rm -rf "$work"' EXIT

# cleanup_hosts: kills the daemons, all else in the hosts and the holders (namespaces and veth ends go too).
cleanup_hosts() {
  local pid holder proc
  for pid in "${daemons[@]}"; do kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  for holder in "${holders[@]}"; do
    [ -e "/proc/$holder/ns/net" ] || continue
    for proc in /proc/[0-9]*; do  # -ef: the same namespace, without a process per test
      [ "${proc#/proc/}" = "$holder" ] || ! [ "$proc/ns/net" -ef "/proc/$holder/ns/net" ] ||
        kill -9 "${proc#/proc/}" 2>/dev/null
    done
    kill -9 "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
  done
}

# fail TEXT: says what failed, shows every log of $work and ends the test.
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do [ -e "$log" ] && { echo "---- $(basename "$log")"; cat "$log"; }; done
  exit 1
}

# on HOST COMMAND...: runs the command in that host; a daemon is started with "$(enter HOST)" so $! is its pid.
on() { nsenter -t "${holders[$(($1 - 1))]}" -n -- "${@:2}"; }
enter() { echo "nsenter -t ${holders[$(($1 - 1))]} -n --"; }
# daemon_on HOST INPUT LOG COMMAND...: COMMAND in HOST in the background ($! its pid), without fds 7 and 8 (inputs).
daemon_on() { $(enter "$1") "${@:4}" <"$2" >"$3" 2>&1 7>&- 8>&- & daemons+=($!); }

count() { grep -cxF -- "$2" "$1" 2>/dev/null; }  # count FILE LINE: how often FILE holds the exact LINE

# wait_until WHAT COMMAND...: runs COMMAND until it succeeds, failing after $guard seconds.
wait_until() {
  local deadline=$((SECONDS + guard))
  until "${@:2}"; do
    [ $SECONDS -lt $deadline ] || fail "no $1 within ${guard}s"
    sleep 0.05
  done
}

at_least() { [ "$(count "$1" "$2")" -ge "$3" ]; }
# wait_count FILE LINE N: waits until FILE holds the exact LINE at least N times.
wait_count() { wait_until "'$2' (x$3) in $(basename "$1")" at_least "$@"; }

# wait_prefix FILE PREFIX: waits for a line starting with PREFIX; the last such line goes to $found.
wait_prefix() {
  wait_until "line starting '$2' in $(basename "$1")" grep -q -- "^$2" "$1"
  found=$(grep -- "^$2" "$1" | tail -n 1)
}

# new_link KIND NAME [ARGS...]: ip link add NAME type KIND ARGS..., deleted at the end.
new_link() { links+=("$2"); ip link add "$2" type "$1" "${@:3}" || fail "cannot create link $2"; }

# new_host: a new host, loopback up; it is number ${#holders[@]}.
new_host() {
  local own
  unshare -n -- sleep infinity &
  holders+=($!)
  own=$(readlink /proc/self/ns/net)
  until [ -e "/proc/$!/ns/net" ] && [ "$(readlink "/proc/$!/ns/net")" != "$own" ]; do sleep 0.01; done
  on "${#holders[@]}" ip link set lo up
}

# host_link HOST LINK ADDRESS/PREFIX [no-route]: the link into the host, addressed, up, routing multicast unless told.
host_link() {
  ip link set "$2" netns "${holders[$(($1 - 1))]}" || fail "cannot move $2 into host $1"
  on "$1" ip addr add "$3" dev "$2"
  on "$1" ip link set "$2" multicast on up
  [ "${4:-}" = no-route ] || on "$1" ip route add 224.0.0.0/4 dev "$2" || fail "cannot route multicast on host $1"
}

# new_home NAME: a home $work/NAME (path in $home) whose service file holds only the shipped multicast entry.
new_home() {
  home="$work/$1"
  mkdir -p "$home/etc/ostravine"
  grep '^SERVICE: *MulticastService' "$KSX_SOURCE_DIR/etc/ServiceData.cfg.default" \
    >"$home/etc/ostravine/ServiceData.cfg" || fail "the shipped service file has no multicast entry"
}
