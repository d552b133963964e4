#!/usr/bin/python3
"""Times bench_enricher and `orvane enrich` against enrich_peer.py on the same image.

Rounds alternate ours and the peer and each side keeps its best, so a burst of load from other
work does not land on one side only. Two measures per row: wall-clock, and CPU seconds of the
whole process (all threads), which a busy machine disturbs much less.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, "enrich_peer.py")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd, env=None):
    """Runs cmd; returns (wall seconds, cpu seconds, stdout)."""
    c0, t0 = children_cpu(), time.perf_counter()
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return time.perf_counter() - t0, children_cpu() - c0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--image")
    ap.add_argument("--count", type=int, default=50)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    work = tempfile.mkdtemp()
    image = args.image
    if not image:
        image = os.path.join(work, "synthetic.jpg")
        rng = np.random.default_rng(1)
        noise = rng.integers(0, 255, (1080, 1920, 3), dtype=np.uint8)
        cv2.imwrite(image, cv2.GaussianBlur(noise, (0, 0), 3))
    shape = cv2.imread(image).shape
    print(f"image: {image} ({shape[1]}x{shape[0]}), {args.rounds} alternating rounds, best kept")

    ours, peer = {}, {}
    keep = lambda d, k, v: d.setdefault(k, []).append(v)
    for r in range(args.rounds):
        env = dict(os.environ, ORVANE_BENCH_IMAGE=image)
        # Google Benchmark: wall rate, and process CPU rate from the same iterations.
        _, _, out = timed([os.path.join(args.build, "bin", "bench_enricher"),
                           "--benchmark_min_time=2", "--benchmark_format=json"], env)
        for b in json.loads(out)["benchmarks"]:
            name = b["name"].split("/")[0]
            # Per-iteration times in milliseconds (the benchmarks' unit).
            keep(ours, name + " wall", 1e3 / b["real_time"])
            keep(ours, name + " cpu", 1e3 / b["cpu_time"])
        _, _, out = timed([sys.executable, PEER, image, "--seconds", "2"])
        for line in out.splitlines():
            key, value = line.split()
            keep(peer, key, float(value))

        wall, cpu, _ = timed([os.path.join(args.build, "bin", "orvane"), "enrich",
                              f"source={image}", f"output={work}/ours{r}", f"count={args.count}",
                              "seed=1"])
        keep(ours, "batch wall", args.count / wall)
        keep(ours, "batch cpu", args.count / cpu)
        wall, cpu, _ = timed([sys.executable, PEER, image, "--batch", f"{work}/peer{r}",
                              str(args.count)])
        keep(peer, "batch wall", args.count / wall)
        keep(peer, "batch cpu", args.count / cpu)

    rows = [
        ("variant in memory, wall", ours["BM_Variant wall"], peer["variant_per_s"]),
        ("variant in memory, cpu", ours["BM_Variant cpu"], peer["variant_cpu_per_s"]),
        ("variant + JPEG encode, wall", ours["BM_VariantJpeg wall"], peer["variant_jpeg_per_s"]),
        ("variant + JPEG encode, cpu", ours["BM_VariantJpeg cpu"], peer["variant_jpeg_cpu_per_s"]),
        (f"whole batch of {args.count} files, wall", ours["batch wall"], peer["batch wall"]),
        (f"whole batch of {args.count} files, cpu", ours["batch cpu"], peer["batch cpu"]),
    ]
    print(f"{'variants per second':40s} {'orvane':>9s} {'python-cv2':>11s} {'ratio':>7s}")
    for name, a, b in rows:
        print(f"{name:40s} {max(a):9.2f} {max(b):11.2f} {max(a) / max(b):7.2f}")
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
