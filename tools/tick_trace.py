#!/usr/bin/env python3
"""Explains late autoplay ticks from a scheduler trace.

    perf record -k CLOCK_MONOTONIC -a -e sched:sched_switch -e sched:sched_waking \\
        -o sched.data -- build-bench/bench/autoplay/bench_autoplay --trace ticks.txt
    perf script -i sched.data -F comm,pid,tid,cpu,time,event,trace > sched.txt
    tools/tick_trace.py ticks.txt sched.txt [--threshold-us 150]

A tick's due time is its place on its run's grid through the run's earliest
handler entry (entry less k periods). For each tick entered later than the
threshold after it, one line says where the time went (a task marked * is a
thread of the benchmark's own process):

  post   from the due time until the timer thread woke the user-interface
         thread (or queued the tick while that thread was busy);
  wait   from that wake-up until the user-interface thread ran, and who ran
         on its CPU meanwhile;
  busy   events the user-interface thread was delivering at the due time;
  timer's cpu held by   who ran where the timer thread was to run, when the
         post came late.

The bare timers' ticks, which run on the same thread with an empty handler
between the window's runs, are explained the same way.
"""

import argparse
import collections
import re

PERIOD_NS = 10_000_000

EVENT = re.compile(
    r"^\s*(?P<comm>.+?)\s+(?P<pid>-?\d+)/(?P<tid>\d+)\s+\[(?P<cpu>\d+)\]\s+(?P<ts>\d+\.\d+):\s+"
    r"(?P<name>[\w:]+):\s*(?P<rest>.*)$")
SWITCH = re.compile(
    r"prev_comm=(?P<pc>.*?) prev_pid=(?P<pp>\d+) prev_prio=(?P<ppr>\d+) "
    r"prev_state=(?P<ps>\S+) ==> next_comm=(?P<nc>.*?) next_pid=(?P<np>\d+) "
    r"next_prio=(?P<npr>\d+)")
WAKE = re.compile(r"comm=(?P<c>.*?) pid=(?P<p>\d+) prio=(?P<pr>\d+)(?: target_cpu=(?P<t>\d+))?")


def read_ticks(path):
    """The user-interface thread's id; the window's ticks as (cue, entered,
    left, arrival); the bare timers' ticks as {round: [stamps]}; the events."""
    ui = None
    window, events = [], []
    free, rearmed = collections.defaultdict(list), collections.defaultdict(list)
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "ui":
                ui = int(parts[1])
            elif parts[0] == "w":
                window.append(tuple(int(x) for x in parts[2:6]))
            elif parts[0] in ("f", "r"):
                (free if parts[0] == "f" else rearmed)[int(parts[1])].append(int(parts[3]))
            elif parts[0] == "e":
                events.append((int(parts[1]), int(parts[2]), int(parts[3]), parts[4]))
    return ui, window, free, rearmed, events


def window_rounds(window):
    """The window's ticks split into runs of consecutive cues."""
    rounds = []
    for tick in window:
        if not rounds or tick[0] != rounds[-1][-1][0] + 1:
            rounds.append([])
        rounds[-1].append(tick)
    return rounds


class Trace:
    def __init__(self, path):
        self.switches = []  # (ts, cpu, prev, prev_state, next)
        self.wakings = []  # (ts, cpu, waker, wakee, target)
        self.comm = {}
        self.pid = {}
        with open(path) as f:
            for line in f:
                m = EVENT.match(line)
                if not m:
                    continue
                ts = int(round(float(m["ts"]) * 1e9))
                cpu, tid = int(m["cpu"]), int(m["tid"])
                self.comm[tid] = m["comm"].strip()
                self.pid[tid] = int(m["pid"])
                if m["name"] == "sched:sched_switch":
                    s = SWITCH.search(m["rest"])
                    if s:
                        self.comm.setdefault(int(s["np"]), s["nc"])
                        self.switches.append((ts, cpu, int(s["pp"]), s["ps"], int(s["np"])))
                elif m["name"] == "sched:sched_waking":
                    w = WAKE.search(m["rest"])
                    if w:
                        self.comm.setdefault(int(w["p"]), w["c"])
                        target = int(w["t"]) if w["t"] is not None else cpu
                        self.wakings.append((ts, cpu, tid, int(w["p"]), target))
        self.switches.sort()
        self.wakings.sort()

    def name(self, tid, ours):
        tag = "*" if self.pid.get(tid) == ours else ""
        return f"{tag}{self.comm.get(tid, '?')}/{tid}"

    def running(self, cpu, start, end):
        """Tasks on `cpu` during [start, end] with their time there."""
        current, since = None, start
        for ts, c, prev, state, nxt in self.switches:
            if c != cpu:
                continue
            if ts <= start:
                current = nxt
                continue
            if ts > end:
                break
            if current is not None:
                yield current, ts - max(since, start)
            current, since = nxt, ts
        if current is not None:
            yield current, end - max(since, start)

    def state_at(self, tid, at):
        """(on_cpu, cpu) of `tid` at `at`, from the last switch touching it."""
        last = (False, None)
        for ts, cpu, prev, state, nxt in self.switches:
            if ts > at:
                break
            if nxt == tid:
                last = (True, cpu)
            elif prev == tid:
                last = (False, cpu)
        return last


def lateness(stamps):
    """Each stamp's lateness against the grid through the earliest of them."""
    base = min(t - k * PERIOD_NS for k, t in enumerate(stamps))
    return [t - k * PERIOD_NS - base for k, t in enumerate(stamps)], base


def explain(trace, ui, timer, ours, due, entered, qt_events):
    """One line: where the time from `due` to `entered` went."""
    wakes = [w for w in trace.wakings if w[3] == ui and due - PERIOD_NS // 10 <= w[0] <= entered]
    parts = []
    on_cpu, cpu = trace.state_at(ui, due)
    busy = [e for e in qt_events if e[0] <= due <= e[1] + 1]
    if busy:
        parts.append("busy " + ", ".join(f"{e[3]}:{e[2]} {(e[1] - e[0]) / 1000:.0f}us" for e in busy))
    if wakes:
        ts, wcpu, waker, _, target = wakes[-1]
        switched = [s for s in trace.switches if s[4] == ui and ts <= s[0] <= entered]
        run_at = switched[0][0] if switched else entered
        holders = collections.Counter()
        for tid, d in trace.running(target if not switched else switched[0][1], ts, run_at):
            holders[trace.name(tid, ours)] += d
        who = ", ".join(f"{n} {d / 1000:.0f}us" for n, d in holders.most_common(4))
        parts.insert(0, f"post {(ts - due) / 1000:+.0f}us by {trace.name(waker, ours)}")
        parts.append(f"wait {(run_at - ts) / 1000:.0f}us on cpu{target} behind [{who}]")
        # The timer thread's own lateness: who held its CPU before it woke the UI.
        if waker in timer and ts - due > 100_000:
            tcpu = wcpu
            held = collections.Counter()
            for tid, d in trace.running(tcpu, due, ts):
                held[trace.name(tid, ours)] += d
            parts.append("timer's cpu held by [" +
                         ", ".join(f"{n} {d / 1000:.0f}us" for n, d in held.most_common(3)) + "]")
    elif on_cpu:
        parts.insert(0, "ui thread was running at the due time (no wake-up)")
    else:
        parts.insert(0, "no wake-up found")
    return "; ".join(parts)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ticks")
    parser.add_argument("sched")
    parser.add_argument("--threshold-us", type=float, default=150)
    args = parser.parse_args()

    ui, window, free, rearmed, qt_events = read_ticks(args.ticks)
    trace = Trace(args.sched)
    ours = trace.pid.get(ui)
    threshold = args.threshold_us * 1000

    def report(label, ticks, cue_of=None):
        """ticks: stamps of one run, on one grid."""
        lat, base = lateness(ticks)
        lo, hi = ticks[0] - PERIOD_NS, ticks[-1]
        wakers = collections.Counter(w[2] for w in trace.wakings
                                     if w[3] == ui and lo <= w[0] <= hi)
        timer = {t for t, n in wakers.most_common(1)}
        for k, t in enumerate(ticks):
            if lat[k] >= threshold:
                what = f"cue {cue_of[k]:3d}" if cue_of else f"tick {k:3d}"
                print(f"  {label} {what} +{lat[k] / 1000:6.0f}us: "
                      f"{explain(trace, ui, timer, ours, base + k * PERIOD_NS, t, qt_events)}")

    print(f"ui thread {ui} (pid {ours}); ticks entered >= {args.threshold_us:.0f} us after "
          f"their place on their run's grid:")
    for run in window_rounds(window):
        report("window", [t[1] for t in run], [t[0] for t in run])
    for label, rounds in (("free", free), ("re-armed", rearmed)):
        for r in sorted(rounds):
            report(label, rounds[r])


if __name__ == "__main__":
    main()
