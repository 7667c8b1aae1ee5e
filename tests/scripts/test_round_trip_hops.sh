# scripts/round-trip-hops.py on a made-up scheduler trace: two rings of five threads (the library's,
# whose server reads on its main thread, and the hand-off's) with known waits and runs per hop.
set -u
source "$(dirname "$0")/checks.sh"

python3 - "$KSX_SOURCE_DIR/scripts/round-trip-hops.py" >"$work/out" 2>&1 <<'PY' || fail "$(cat "$work/out")"
import importlib.util, sys
spec = importlib.util.spec_from_file_location("hops", sys.argv[1])
hops = importlib.util.module_from_spec(spec)
spec.loader.exec_module(hops)

# Client process 100 (host thread 100), server process 200. Per hop, in us: how long the woken
# thread waits for a CPU, and how long it then runs until it wakes the next.
rings = {"library": ([100, 200, 201, 101, 102], [5, 6, 7, 8, 9], [2, 3, 4, 5, 6]),
         "hand-off": ([100, 202, 203, 103, 104], [5, 6, 7, 8, 9], [1, 1, 1, 1, 1])}
pids = {100: 100, 101: 100, 102: 100, 103: 100, 104: 100, 200: 200, 201: 200, 202: 200, 203: 200}
lines, now = [], 1.0
for trip in range(2400):
    tids, waits, runs = rings["library" if trip % 2 else "hand-off"]
    for hop in range(5):
        waker, wakee = tids[hop], tids[(hop + 1) % 5]
        lines.append(f" {pids[waker]}/{waker} [000] {now:.9f}: sched:sched_waking: comm=b pid={wakee} "
                     f"prio=120 target_cpu=00{hop % 2}")
        now += waits[hop] * 1e-6
        lines.append(f" 0/0 [001] {now:.9f}: sched:sched_switch: prev_comm=swapper prev_pid=0 prev_prio=120 "
                     f"prev_state=R ==> next_comm=b next_pid={wakee} next_prio=120")
        now += runs[hop] * 1e-6
events, pid_of = hops.parse_events("\n".join(lines))
cycles = hops.round_trip_cycles(events)
assert cycles == [(100, 200, 201, 101, 102), (100, 202, 203, 103, 104)], cycles
samples = hops.hop_samples(events, cycles, pid_of)
for way, (_, waits, runs) in rings.items():
    for hop in range(5):
        wait, run, same = samples[(200, way, hop)]
        assert round(hops.us(wait), 3) == waits[hop], (way, hop, hops.us(wait))
        assert round(hops.us(run), 3) == runs[hop], (way, hop, hops.us(run))
        assert hops.share(same) == (1.0 if hop % 2 == 0 else 0.0), (way, hop)
PY
finish
