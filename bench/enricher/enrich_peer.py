#!/usr/bin/python3
"""The enricher's variant pipeline written with OpenCV's Python binding, step for step as
src/enricher/enricher_core.cpp does it: contrast/brightness, gamma table, optional perspective
skew, rotation. Prints variants per second for the variant alone and with JPEG encoding, and
optionally writes a whole batch to a folder (the peer of `orvane enrich`).

usage: enrich_peer.py IMAGE [--seconds S] [--batch OUT_DIR COUNT]
"""
import argparse
import os
import random
import time

import cv2
import numpy as np

RANGES = dict(brightness=(-30, 30), contrast=(0.8, 1.2), rotation=(-15, 15), gamma=(0.8, 1.2),
              warp=(0, 5))


def get_aug_image(base, r, rng):
    h, w = base.shape[:2]
    alpha = rng.uniform(*r["contrast"])
    beta = rng.uniform(*r["brightness"])
    img = cv2.convertScaleAbs(base, alpha=alpha, beta=beta)
    inv_gamma = 1.0 / rng.uniform(*r["gamma"])
    table = np.array([((i / 255.0) ** inv_gamma) * 255 for i in range(256)]).astype("uint8")
    img = cv2.LUT(img, table)
    if r["warp"][1] > 0:
        wp = rng.uniform(*r["warp"]) / 100.0
        dx, dy = w * wp, h * wp
        src = np.float32([[0, 0], [w, 0], [w, h], [0, h]])
        dst = np.float32([[x + rng.uniform(-dx, dx), y + rng.uniform(-dy, dy)] for x, y in src])
        m = cv2.getPerspectiveTransform(src, dst)
        img = cv2.warpPerspective(img, m, (w, h), borderMode=cv2.BORDER_REPLICATE)
    angle = rng.uniform(*r["rotation"])
    m = cv2.getRotationMatrix2D((w // 2, h // 2), angle, 1.0)
    return cv2.warpAffine(img, m, (w, h), borderMode=cv2.BORDER_REPLICATE)


def rate(fn, seconds):
    """(calls per wall second, calls per CPU second of the whole process, all threads)."""
    fn()  # warm-up
    n, start, cpu = 0, time.perf_counter(), time.process_time()
    while time.perf_counter() - start < seconds:
        fn()
        n += 1
    return n / (time.perf_counter() - start), n / (time.process_time() - cpu)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("image")
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--batch", nargs=2, metavar=("OUT_DIR", "COUNT"))
    args = ap.parse_args()
    rng = random.Random(1)
    if args.batch:
        out_dir, count = args.batch[0], int(args.batch[1])
        start = time.perf_counter()
        base = cv2.imread(args.image, cv2.IMREAD_COLOR)
        os.makedirs(out_dir, exist_ok=True)
        t = int(time.time())
        for k in range(1, count + 1):
            cv2.imwrite(os.path.join(out_dir, f"image_enriched_{t}_var_{k}.jpg"),
                        get_aug_image(base, RANGES, rng))
        print(f"batch_seconds {time.perf_counter() - start:.4f}")
        return
    base = cv2.imread(args.image, cv2.IMREAD_COLOR)
    wall, cpu = rate(lambda: get_aug_image(base, RANGES, rng), args.seconds)
    print(f"variant_per_s {wall:.3f}\nvariant_cpu_per_s {cpu:.3f}")
    wall, cpu = rate(lambda: cv2.imencode(".jpg", get_aug_image(base, RANGES, rng)), args.seconds)
    print(f"variant_jpeg_per_s {wall:.3f}\nvariant_jpeg_cpu_per_s {cpu:.3f}")


if __name__ == "__main__":
    main()
