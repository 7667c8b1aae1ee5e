#!/usr/bin/env bash
# Runs every benchmark in one private network namespace (scripts/netns-run),
# three interleaved repetitions, and prints one table of medians: our
# figures, the plain-TCP baselines measured in the same processes and, when
# bench_peers was built (scripts/install-bench-peers.sh), ZeroMQ and NNG.
#
#   scripts/bench.sh [build-dir]     (default: build/release, built if needed)
#
# Every program's own output is kept in $BENCH_LOG (default
# /tmp/ksx-bench.log).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
reps=${BENCH_REPS:-3}
log=${BENCH_LOG:-/tmp/ksx-bench.log}

if [ "${1:-}" != "--inside" ]; then
  build=${1:-$root/build/release}
  if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    (cd "$root" && cmake --preset release >/dev/null)
    build=$root/build/release
  fi
  targets=(bench_round_trip bench_receive_path bench_clients bench_senders)
  grep -q bench_peers "$build/build.ninja" 2>/dev/null && targets+=(bench_peers)
  cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
  exec "$here/netns-run" bash "${BASH_SOURCE[0]}" --inside "$build"
fi
build=$2
bench=$build/bench
: >"$log"
# The peers listen on fixed ports. The 1,000 clients' connections leave
# their local ports in TIME_WAIT for a minute, and consecutive connections
# take consecutive ports: kept out of this namespace's ephemeral range, the
# peers' ports can never be among them.
echo 47101-47103 2>/dev/null >/proc/sys/net/ipv4/ip_local_reserved_ports ||
  echo "bench: the peers' ports cannot be kept out of the ephemeral range" >&2
figures=$(mktemp)
trap 'rm -f "$figures"' EXIT

programs=(bench_round_trip bench_receive_path bench_clients bench_senders)
[ -x "$bench/bench_peers" ] && programs+=(bench_peers)
for rep in $(seq 1 "$reps"); do
  for program in "${programs[@]}"; do
    echo "== $program, repetition $rep" >>"$log"
    "$bench/$program" >"$figures.out" 2>&1 || { cat "$figures.out" >&2; echo "bench: $program failed" >&2; exit 1; }
    cat "$figures.out" >>"$log"
    sed -n "s/^@ \([a-z0-9_]*\) \(.*\)$/$rep \1 \2/p" "$figures.out" >>"$figures"
  done
done
rm -f "$figures.out"

echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1); $(uptime | sed 's/.*load/load/')"
echo "release build, one private namespace, medians of $reps interleaved repetitions (all output: $log);"
echo "a ratio is the median over the repetitions of the ratio within one repetition"
python3 - "$figures" <<'PY'
import statistics, sys
runs, byRep = {}, {}
for line in open(sys.argv[1]):
    rep, key, value = line.split()
    runs.setdefault(key, []).append(float(value))
    byRep.setdefault(rep, {})[key] = float(value)
m = {k: statistics.median(v) for k, v in runs.items()}
low = {k: min(v) for k, v in runs.items()}
def f(key, fmt="{:.1f}"):
    return fmt.format(m[key]) if key in m else "-"
def ratios(a, b):
    # Within each repetition: its figures were measured side by side, under
    # the same load, which a ratio of medians taken across repetitions mixes.
    return [v[a] / v[b] for v in byRep.values() if a in v and b in v and v[b]]
def r(a, b):
    each = ratios(a, b)
    return "{:.2f}".format(statistics.median(each)) if each else "-"
def rate(key):
    return "{:.2f} M/s".format(m[key] / 1e6) if key in m else "-"
rows = [
    ("round trip 64 B, p50 (us)", "library " + f("rt_lib_p50"),
     "hand-off " + f("rt_handoff_p50") + "; plain echo " + f("rt_plain_p50"),
     "ZeroMQ " + f("zmq_rt_p50") + "; NNG " + f("nng_rt_p50"),
     "lib/hand-off " + r("rt_lib_p50", "rt_handoff_p50") + "; lib/ZeroMQ " + r("rt_lib_p50", "zmq_rt_p50")),
    ("round trip 64 B, p99 (us)", "library " + f("rt_lib_p99"),
     "hand-off " + f("rt_handoff_p99") + "; plain echo " + f("rt_plain_p99"),
     "ZeroMQ " + f("zmq_rt_p99") + "; NNG " + f("nng_rt_p99"),
     "lib/hand-off " + r("rt_lib_p99", "rt_handoff_p99")),
    ("round trip, client CPU (us) / switches", "library " + f("rt_lib_cpu") + " / " + f("rt_lib_switches", "{:.2f}"),
     "hand-off " + f("rt_handoff_cpu") + " / " + f("rt_handoff_switches", "{:.2f}"), "", ""),
    ("one-way 100 B, one record a send", "library " + rate("stream_lib"), "plain sender " + rate("stream_plain"), "",
     "lib/plain " + r("stream_lib", "stream_plain")),
    ("one-way 100 B, batched", "library " + rate("stream_batched"), "", "ZeroMQ PUSH/PULL " + rate("zmq_stream"),
     "batched/ZeroMQ " + r("stream_batched", "zmq_stream")),
    ("64 MiB record, receive path (MiB/s)", "library " + f("rx_path_mibs", "{:.0f}"),
     "plain read loop " + f("rx_plain_mibs", "{:.0f}") + "; into a fresh buffer " +
     f("rx_plain_fresh_mibs", "{:.0f}"), "",
     "median " + f("rx_ratio_median", "{:.2f}") + "; lowest of all " +
     ("{:.2f}".format(low["rx_ratio_min"]) if "rx_ratio_min" in low else "-")),
    ("64 MiB record, to the host decoded (MiB/s)", "library " + f("rx_record_mibs", "{:.0f}"),
     "decoded into a copy " + f("rx_record_copied_mibs", "{:.0f}"), "",
     "to the host / plain loop " + f("rx_record_ratio_median", "{:.2f}") + "; into a copy " +
     f("rx_record_copied_ratio_median", "{:.2f}")),
    ("4 threads sending 100 B to one connection", "library " + rate("senders_lib_4"),
     "plain sends under a mutex " + rate("senders_plain_4"), "", "lib/plain " + r("senders_lib_4", "senders_plain_4")),
    ("1,000 clients: connect + identify (ms)", f("clients_connect_ms"), "", "", ""),
    ("1,000 clients: broadcast last delivery (ms)", "p50 " + f("clients_last_p50_ms", "{:.2f}") + "; p99 " +
     f("clients_last_p99_ms", "{:.2f}"), "", "", "p99 target <= 20"),
    ("1,000 clients: server RSS per connection (KiB)", f("clients_rss_kib"), "", "", "target <= 64"),
]
header = ("figure", "ours", "baselines", "peers", "ratios")
print("| " + " | ".join(header) + " |")
print("|" + "---|" * len(header))
for row in rows:
    print("| " + " | ".join(row) + " |")
for label, a, b in (("lib/hand-off p50", "rt_lib_p50", "rt_handoff_p50"),
                    ("lib/hand-off p99", "rt_lib_p99", "rt_handoff_p99")):
    print("each repetition, " + label + ": " + " ".join("{:.3f}".format(x) for x in ratios(a, b)))
PY
