# scripts/round-trip-hops.py on a made-up scheduler trace: the library's rings of three threads, whose
# readers take turns, and the hand-off's ring of five, with known waits and runs per hop.
set -u
source "$(dirname "$0")/checks.sh"

python3 - "$KSX_SOURCE_DIR/scripts/round-trip-hops.py" >"$work/out" 2>&1 <<'PY' || fail "$(cat "$work/out")"
import importlib.util, sys
spec = importlib.util.spec_from_file_location("hops", sys.argv[1])
hops = importlib.util.module_from_spec(spec)
spec.loader.exec_module(hops)

# Client process 100 (host thread 100), server process 200. Per hop, in us: how long the woken
# thread waits for a CPU, and how long it then runs until it wakes the next. The library's readers
# take turns (server 200/201, client 101/102), each waking the other off the path first.
rings = {"library": ([[100, 200, 101], [100, 201, 102]], [5, 6, 7], [2, 3, 4]),
         "hand-off": ([[100, 202, 203, 103, 104]], [5, 6, 7, 8, 9], [1, 1, 1, 1, 1])}
other = {200: 201, 201: 200, 101: 102, 102: 101}
pids = {100: 100, 101: 100, 102: 100, 103: 100, 104: 100, 200: 200, 201: 200, 202: 200, 203: 200}
lines, now = [], 1.0


def wake(waker, wakee, cpu):
    lines.append(f" {pids[waker]}/{waker} [000] {now:.9f}: sched:sched_waking: comm=b pid={wakee} "
                 f"prio=120 target_cpu=00{cpu}")


for trip in range(2400):
    way = "library" if trip % 2 else "hand-off"
    choices, waits, runs = rings[way]
    tids = choices[(trip // 2) % len(choices)]
    for hop in range(len(tids)):
        waker, wakee = tids[hop], tids[(hop + 1) % len(tids)]
        if waker in other:
            wake(waker, other[waker], 1)  # the other reader takes over the reading
        wake(waker, wakee, hop % 2)
        now += waits[hop] * 1e-6
        lines.append(f" 0/0 [001] {now:.9f}: sched:sched_switch: prev_comm=swapper prev_pid=0 prev_prio=120 "
                     f"prev_state=R ==> next_comm=b next_pid={wakee} next_prio=120")
        now += runs[hop] * 1e-6
events, pid_of = hops.parse_events("\n".join(lines))
cycles = hops.round_trip_cycles(events)
assert cycles == [(100, 200, 101), (100, 201, 102), (100, 202, 203, 103, 104)], cycles
samples = hops.hop_samples(events, cycles, pid_of)
for way, (choices, waits, runs) in rings.items():
    for hop in range(len(choices[0])):
        wait, run, same = samples[(200, way, hop)]
        assert round(hops.us(wait), 3) == waits[hop], (way, hop, hops.us(wait))
        assert round(hops.us(run), 3) == runs[hop], (way, hop, hops.us(run))
        assert hops.share(same) == (1.0 if hop % 2 == 0 else 0.0), (way, hop)
PY
finish
