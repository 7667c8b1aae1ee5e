#!/usr/bin/env python3
"""Where a round trip's time goes, hop by hop, library against hand-off.

Records the scheduler's events (perf sched) while bench_round_trip measures
its round trips (mode "a", in a private namespace), then follows each round
trip's chain of wake-ups through the five threads it passes:

  client host thread -> server's reading thread -> server's worker
  -> client's reading thread -> client's worker -> client host thread

For each hop it prints how long the woken thread waited for a CPU after its
wake-up ("wait") and how long it then ran until it woke the next thread
("run"), as medians over the round trips of all process pairs (with and
without the installation key), for the library and for the hand-off echo
(the same hops with no library code). A round trip's measured interval
covers the waits and runs of the first four hops; of the last one only the
host thread's send is inside it.

    python3 scripts/round-trip-hops.py [build-dir]   (default: build/release of this checkout)

Needs perf (Debian's linux-perf) and root, as scripts/netns-run does.
"""
import collections
import os
import re
import statistics
import subprocess
import sys
import tempfile

ROLES = ["host -> server reader", "server reader -> worker", "server worker -> client reader",
         "client reader -> worker", "client worker -> host"]
WAKING = re.compile(r"\s*(\d+)/(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+sched:sched_waking:.* pid=(\d+) .*target_cpu=(\d+)")
SWITCH = re.compile(r"\s*(\d+)/(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+sched:sched_switch:.* next_pid=(\d+) ")


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def record(build, data):
    bench = os.path.join(build, "bench", "bench_round_trip")
    subprocess.run([os.path.join(ROOT, "scripts", "netns-run"), "perf", "sched", "record", "-o", data, "--",
                    bench, "a"], check=True, stdout=subprocess.DEVNULL)


def read_events(data):
    text = subprocess.run(["perf", "script", "--ns", "-i", data, "-F", "pid,tid,cpu,time,event,trace"],
                          check=True, capture_output=True, text=True).stdout
    return parse_events(text)


def parse_events(text):
    """Wake-ups (time, waker, wakee, same CPU) and switches (time, next), in time order; pid of each tid."""
    events, pid_of = [], {}
    for line in text.splitlines():
        if m := WAKING.match(line):
            pid, tid, cpu, when, wakee, target = (int(m[1]), int(m[2]), int(m[3]), float(m[4]), int(m[5]),
                                                  int(m[6]))
            pid_of[tid] = pid
            events.append((when, "wake", tid, wakee, cpu == target))
        elif m := SWITCH.match(line):
            pid_of[int(m[2])] = int(m[1])
            events.append((float(m[4]), "switch", int(m[5])))
    events.sort(key=lambda event: event[0])
    return events, pid_of


def round_trip_cycles(events):
    """Chains of five threads that wake each other in a ring, rotated to start at the host thread."""
    edges = collections.Counter((e[2], e[3]) for e in events if e[1] == "wake" and e[2] != 0)
    follows = collections.defaultdict(list)
    for (waker, wakee), count in edges.items():
        if count >= 1000:
            follows[waker].append(wakee)
    cycles = set()

    def walk(path):
        for nxt in follows[path[-1]]:
            if nxt == path[0] and len(path) == 5:
                cycles.add(tuple(path))
            elif nxt not in path and len(path) < 5:
                walk(path + [nxt])

    for start in list(follows):
        walk([start])
    if not cycles:
        return []
    host = collections.Counter(tid for cycle in cycles for tid in cycle).most_common(1)[0][0]
    return sorted({c[c.index(host):] + c[:c.index(host)] for c in cycles if host in c})


def hop_samples(events, cycles, pid_of):
    """(server pid, 'library' or 'hand-off', role) -> lists of waits, runs and same-CPU flags."""
    role_of = {}
    for cycle in cycles:
        # The bench's server runs the library's event loop on its main thread;
        # the hand-off echo reads on a thread of its own.
        server = pid_of.get(cycle[1])
        way = "library" if cycle[1] == server else "hand-off"
        for i in range(5):
            role_of[(cycle[i], cycle[(i + 1) % 5])] = (server, way, i)
    samples = collections.defaultdict(lambda: ([], [], []))
    woken = {}    # wakee -> (time of the wake-up, its hop)
    running = {}  # tid -> (time it got the CPU, the hop that woke it)
    for event in events:
        if event[1] == "wake":
            when, _, waker, wakee, same = event
            hop = role_of.get((waker, wakee))
            if hop is None:
                continue
            woken[wakee] = (when, hop)
            samples[hop][2].append(same)
            if waker in running:
                since, before = running.pop(waker)
                samples[before][1].append(when - since)
        elif event[2] in woken:
            when, hop = woken.pop(event[2])
            samples[hop][0].append(event[0] - when)
            running[event[2]] = (event[0], hop)
    return samples


def us(values):
    return statistics.median(values) * 1e6 if values else float("nan")


def share(flags):
    return statistics.mean(flags) if flags else float("nan")


def main():
    build = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "sched.data")
        record(build, data)
        events, pid_of = read_events(data)
    samples = hop_samples(events, round_trip_cycles(events), pid_of)
    pairs = sorted({key[0] for key in samples if (key[0], "library", 0) in samples
                    and (key[0], "hand-off", 0) in samples})
    if not pairs:
        sys.exit("round-trip-hops: no round trip found in the trace")
    print(f"{len(pairs)} process pairs, their round trips pooled; medians in us")
    print(f"{'hop':32} {'wait lib':>9} {'hand-off':>9} {'run lib':>9} {'hand-off':>9} {'same CPU lib/hand-off':>22}")
    total = 0.0
    for i, role in enumerate(ROLES):
        pooled = {way: tuple(sum((samples[(p, way, i)][kind] for p in pairs), []) for kind in range(3))
                  for way in ("library", "hand-off")}
        lib, hand = pooled["library"], pooled["hand-off"]
        print(f"{role:32} {us(lib[0]):9.1f} {us(hand[0]):9.1f} {us(lib[1]):9.1f} {us(hand[1]):9.1f} "
              f"{share(lib[2]):11.2f} / {share(hand[2]):.2f}")
        if i < 4:
            total += us(lib[0]) - us(hand[0]) + us(lib[1]) - us(hand[1])
    print(f"library minus hand-off, waits and runs of the first four hops (sum of medians): {total:+.1f} us")


if __name__ == "__main__":
    main()
