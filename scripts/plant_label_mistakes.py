#!/usr/bin/env python3
"""Plants known labelling mistakes in a copy of a YOLO dataset split, and scores a label review
against them.

  plant_label_mistakes.py plant DATASET OUT [--split val] [--count 20] [--seed 0]
      copies DATASET (a folder with data.yaml, images/ and labels/) to OUT and plants --count
      mistakes, one per image, in the labels of --split, in turn of five kinds:
        deleted     a label removed          (the review should say "possibly unlabelled")
        shifted     a label moved by 40-55 % of its size  ("loose outline")
        relabelled  a label given another class  ("class disagreement")
        duplicated  a label written twice, 2 % apart  ("duplicate")
        spurious    a box on empty background  ("missed")
      and writes OUT/planted.csv (image, mistake, line, x1, y1, x2, y2 in normalised units).

  plant_label_mistakes.py score OUT/planted.csv review.csv [--top 30]
      counts the planted mistakes that the first --top findings of review.csv point at: a
      finding on the same image that names the planted line, or (for a deleted label) whose box
      overlaps the removed one at IoU 0.3 or more.

Standard library only, so it runs anywhere the project builds.
"""
import argparse
import csv
import os
import random
import shutil
import sys

KINDS = ["deleted", "shifted", "relabelled", "duplicated", "spurious"]
EXPECTED = {
    "deleted": "possibly unlabelled",
    "shifted": "loose outline",
    "relabelled": "class disagreement",
    "duplicated": "duplicate",
    "spurious": "missed",
}


def read_names(data_yaml):
    names, in_names = [], False
    for line in open(data_yaml, encoding="utf-8"):
        if line.startswith("names:"):
            in_names = True
            continue
        if in_names:
            if line.startswith("  ") and ":" in line:
                names.append(line.split(":", 1)[1].strip())
            else:
                break
    return names


def bbox(coords):
    if len(coords) == 4:
        cx, cy, w, h = coords
        return cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2
    xs, ys = coords[0::2], coords[1::2]
    return min(xs), min(ys), max(xs), max(ys)


def iou(a, b):
    ix = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    iy = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = ix * iy
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0


def fmt(cls, coords):
    return " ".join([str(cls)] + ["%.6f" % min(1.0, max(0.0, v)) for v in coords])


def shifted(coords, dx, dy):
    if len(coords) == 4:
        return [coords[0] + dx, coords[1] + dy, coords[2], coords[3]]
    return [v + (dx if i % 2 == 0 else dy) for i, v in enumerate(coords)]


def plant(args):
    if os.path.exists(args.out):
        sys.exit("plant: %s exists; give a new folder" % args.out)
    shutil.copytree(args.dataset, args.out)
    # data.yaml's path: points at the original; point it at the copy.
    yaml_path = os.path.join(args.out, "data.yaml")
    text = open(yaml_path, encoding="utf-8").read().splitlines()
    text = ["path: " + os.path.abspath(args.out) if l.startswith("path:") else l for l in text]
    open(yaml_path, "w", encoding="utf-8").write("\n".join(text) + "\n")
    nc = max(2, len(read_names(yaml_path)))

    rng = random.Random(args.seed)
    label_dir = os.path.join(args.out, "labels", args.split)
    image_dir = os.path.join(args.out, "images", args.split)
    images = sorted(f for f in os.listdir(image_dir) if not f.startswith("."))
    candidates = []
    for image in images:
        label = os.path.join(label_dir, os.path.splitext(image)[0] + ".txt")
        if os.path.exists(label) and open(label).read().strip():
            candidates.append(image)
    if len(candidates) < args.count:
        sys.exit("plant: only %d labelled images in %s" % (len(candidates), args.split))
    chosen = sorted(rng.sample(candidates, args.count))
    rows = []
    for n, image in enumerate(chosen):
        kind = KINDS[n % len(KINDS)]
        label = os.path.join(label_dir, os.path.splitext(image)[0] + ".txt")
        lines = [l.split() for l in open(label).read().splitlines() if l.strip()]
        objects = [(int(l[0]), [float(v) for v in l[1:]]) for l in lines]
        k = rng.randrange(len(objects))
        cls, coords = objects[k]
        line = k + 1
        box = bbox(coords)
        if kind == "deleted":
            del objects[k]
            line = 0
        elif kind == "shifted":
            w, h = box[2] - box[0], box[3] - box[1]
            s = rng.uniform(0.40, 0.55)
            dx, dy = (s * w, 0.0) if rng.random() < 0.5 else (0.0, s * h)
            if box[2] + dx > 1.0 or box[3] + dy > 1.0:
                dx, dy = -dx, -dy
            objects[k] = (cls, shifted(coords, dx, dy))
            box = bbox(objects[k][1])
        elif kind == "relabelled":
            objects[k] = ((cls + 1 + rng.randrange(nc - 1)) % nc, coords)
        elif kind == "duplicated":
            w = box[2] - box[0]
            objects.append((cls, shifted(coords, 0.02 * w, 0.0)))
            line = len(objects)
        elif kind == "spurious":
            for _ in range(200):
                w, h = rng.uniform(0.15, 0.3), rng.uniform(0.15, 0.3)
                x, y = rng.uniform(0, 1 - w), rng.uniform(0, 1 - h)
                box = (x, y, x + w, y + h)
                if all(iou(box, bbox(c)) == 0 for _, c in objects):
                    break
            else:
                sys.exit("plant: no empty background in " + image)
            spurious = [x + w / 2, y + h / 2, w, h] if len(coords) == 4 else [
                x, y, x + w, y, x + w, y + h, x, y + h]
            objects.append((rng.randrange(nc), spurious))
            line = len(objects)
        with open(label, "w") as f:
            for c, v in objects:
                f.write(fmt(c, v) + "\n")
        rows.append([os.path.join(os.path.abspath(image_dir), image), kind, line] +
                    ["%.6f" % v for v in box])
    with open(os.path.join(args.out, "planted.csv"), "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["image", "mistake", "line", "x1", "y1", "x2", "y2"])
        out.writerows(rows)
    print("planted %d mistakes in %s (%s)" % (len(rows), label_dir, os.path.join(args.out, "planted.csv")))


def image_size(path):
    # The shapes sets and most datasets are PNG or JPEG; read the size from the header.
    data = open(path, "rb").read(64 * 1024)
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    i = 2
    while i < len(data):
        marker = data[i + 1]
        length = int.from_bytes(data[i + 2:i + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
        i += 2 + length
    sys.exit("score: cannot read the size of " + path)


def score(args):
    planted = list(csv.DictReader(open(args.planted)))
    findings = list(csv.DictReader(open(args.review)))[:args.top]
    sizes = {}
    found = {}
    for p in planted:
        image = os.path.abspath(p["image"])
        if image not in sizes:
            sizes[image] = image_size(image)
        w, h = sizes[image]
        pbox = [float(p[k]) for k in ("x1", "y1", "x2", "y2")]
        pbox = [pbox[0] * w, pbox[1] * h, pbox[2] * w, pbox[3] * h]
        for rank, f in enumerate(findings, 1):
            if os.path.abspath(f["image"]) != image:
                continue
            if p["mistake"] == "deleted":
                if not f["x1"] or f["line"]:
                    continue
                fbox = [float(f[k]) for k in ("x1", "y1", "x2", "y2")]
                if iou(pbox, fbox) < 0.3:
                    continue
            elif f["line"] != p["line"]:
                continue
            found[id(p)] = (rank, f["kind"])
            break
    by_kind = {k: [0, 0, 0] for k in KINDS}
    for p in planted:
        entry = by_kind[p["mistake"]]
        entry[0] += 1
        if id(p) in found:
            entry[1] += 1
            entry[2] += found[id(p)][1] == EXPECTED[p["mistake"]]
    print("found %d of %d planted mistakes among the first %d findings" %
          (len(found), len(planted), len(findings)))
    for k in KINDS:
        total, hit, kind_ok = by_kind[k]
        print("  %-10s %d/%d found, %d reported as \"%s\"" % (k, hit, total, kind_ok, EXPECTED[k]))
    for p in planted:
        where = found.get(id(p))
        print("  %s %-10s line %-2s %s" % (os.path.basename(p["image"]), p["mistake"], p["line"],
                                            "rank %d (%s)" % where if where else "not in the list"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("plant")
    p.add_argument("dataset")
    p.add_argument("out")
    p.add_argument("--split", default="val")
    p.add_argument("--count", type=int, default=20)
    p.add_argument("--seed", type=int, default=0)
    s = sub.add_parser("score")
    s.add_argument("planted")
    s.add_argument("review")
    s.add_argument("--top", type=int, default=30)
    args = parser.parse_args()
    plant(args) if args.command == "plant" else score(args)


if __name__ == "__main__":
    main()
