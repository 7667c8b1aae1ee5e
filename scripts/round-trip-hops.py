#!/usr/bin/env python3
"""Where a round trip's time goes, hop by hop, library against hand-off.

Records the scheduler's events (perf sched) while bench_round_trip measures
its round trips (mode "a", in a private namespace), then follows each round
trip's chain of wake-ups. The hand-off echo (no library code) passes five
threads:

  client host thread -> server's reading thread -> server's worker
  -> client's reading thread -> client's worker -> client host thread

The library passes three, since a reader processes the record it read
(the loop's other reader standing by, woken only by an event meanwhile):

  client host thread -> server's reader -> client's reader -> client host thread

where each reader is either of its process's two (the reading passes
from one to the other when an event comes during a reader's work).

For each hop it prints how long the woken thread waited for a CPU after its
wake-up ("wait") and how long it then ran until it woke the next thread
("run"), as medians over the round trips of all process pairs (with and
without the installation key). A round trip's measured interval covers the
waits and runs of every hop but the last; of the last one only the host
thread's send is inside it.

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

ROLES = {"hand-off": ["host -> server reader", "server reader -> worker", "server worker -> client reader",
                      "client reader -> worker", "client worker -> host"],
         "library": ["host -> server reader", "server reader -> client reader", "client reader -> host"]}
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
    """Rings of threads that wake each other, rotated to start at the host thread: the library's of three
    (its readers taking turns make several), then the hand-off's of five among threads no library ring
    uses (a ring through a reader's wake-up of the other reader is none of them)."""
    edges = collections.Counter((e[2], e[3]) for e in events if e[1] == "wake" and e[2] != 0)
    follows = collections.defaultdict(list)
    for (waker, wakee), count in edges.items():
        if count >= 200:
            follows[waker].append(wakee)

    def rings(length, avoid):
        found = set()

        def walk(path):
            for nxt in follows[path[-1]]:
                if nxt == path[0] and len(path) == length:
                    found.add(tuple(path))
                elif nxt not in path and nxt not in avoid and len(path) < length:
                    walk(path + [nxt])

        for start in list(follows):
            if start not in avoid:
                walk([start])
        return found

    short = rings(3, set())
    if not short:
        return []
    host = collections.Counter(tid for ring in short for tid in ring).most_common(1)[0][0]
    library = {r[r.index(host):] + r[:r.index(host)] for r in short if host in r}
    used = {tid for ring in library for tid in ring} - {host}
    hand_off = {r[r.index(host):] + r[:r.index(host)] for r in rings(5, used) if host in r}
    return sorted(library) + sorted(hand_off)


def hop_samples(events, cycles, pid_of):
    """(server pid, 'library' or 'hand-off', hop) -> lists of waits, runs and same-CPU flags."""
    role_of = {}
    for cycle in cycles:
        server = pid_of.get(cycle[1])
        way = "library" if len(cycle) == 3 else "hand-off"
        for i in range(len(cycle)):
            role_of[(cycle[i], cycle[(i + 1) % len(cycle)])] = (server, way, i)
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
    for way in ("library", "hand-off"):
        print(f"{way + ':':36} {'wait':>7} {'run':>7} {'same CPU':>9}")
        inside = 0.0
        for i, role in enumerate(ROLES[way]):
            pooled = tuple(sum((samples[(p, way, i)][kind] for p in pairs), []) for kind in range(3))
            print(f"  {role:34} {us(pooled[0]):7.1f} {us(pooled[1]):7.1f} {share(pooled[2]):9.2f}")
            if i < len(ROLES[way]) - 1:
                inside += us(pooled[0]) + us(pooled[1])
        print(f"  {'every hop but the last (sum of medians)':34} {inside:15.1f}")


if __name__ == "__main__":
    main()
