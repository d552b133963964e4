#!/usr/bin/python3
"""Sums the operator times of Chrome traces (engine_bench / peer.py with ORVANE_TRACE=FILE) and
prints them side by side, largest first: self time per operator name, in ms per step.

  ops.py OURS.json PEER.json [steps=5]
"""
import collections
import json
import sys


def self_times(path, steps):
    events = json.load(open(path))
    events = events["traceEvents"] if isinstance(events, dict) else events
    spans = collections.defaultdict(list)
    for e in events:
        if e.get("ph") == "X" and "dur" in e:
            spans[(e.get("pid"), e.get("tid"))].append((float(e["ts"]), float(e["dur"]), e["name"]))
    totals = collections.Counter()
    for evs in spans.values():
        # Self time: a span's duration less that of the spans directly inside it on the same thread.
        evs.sort(key=lambda x: (x[0], -x[1]))
        stack = []
        for ts, dur, name in evs:
            while stack and ts >= stack[-1][0] + stack[-1][1]:
                stack.pop()
            if stack:
                totals[stack[-1][2]] -= dur
            totals[name] += dur
            stack.append((ts, dur, name))
    return {k: v / 1000.0 / steps for k, v in totals.items()}


def main():
    steps = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    ours, peer = self_times(sys.argv[1], steps), self_times(sys.argv[2], steps)
    print(f"{'operator':48s} {'ours ms':>9s} {'peer ms':>9s}")
    for name in sorted(set(ours) | set(peer), key=lambda n: -max(ours.get(n, 0), peer.get(n, 0)))[:40]:
        print(f"{name[:48]:48s} {ours.get(name, 0):9.2f} {peer.get(name, 0):9.2f}")
    print(f"{'total':48s} {sum(ours.values()):9.2f} {sum(peer.values()):9.2f}")


if __name__ == "__main__":
    main()
