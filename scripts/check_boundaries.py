#!/usr/bin/env python3
"""Checks that every include in src/ respects the targets' boundaries.

All libraries share the include root src/, so the compiler alone would let any file include any
header. This check makes the layering real. It reads the manifest CMake writes at configure time
(build/boundaries.tsv: each target's files and what it links PUBLIC and PRIVATE) and the sources,
and fails when:

  layer     a file includes a header of a target in a higher layer than its own (see LAYERS);
  link      a file includes a header of a project target its own target does not link, directly
            or through a PUBLIC link of something it links;
  public    a header includes a header of a project target that its target links only PRIVATE
            (whoever includes the header would need that target too), or a target links a project
            target PUBLIC that none of its headers includes (it would pass on what it keeps);
  widgets   a target that does not link Qt Widgets includes a Qt Widgets header;
  engine    a target that does not link the engine itself includes a LibTorch or an engine header;
  private   a file includes another target's private header (NAME_impl.h: a header only the
            target's own sources include, which may therefore use its PRIVATE links).

With --doc, the map's target table (docs/architecture.md) must list every target once, in its
layer, with exactly the project targets it links:

  doc       a row missing, extra, in the wrong layer, or naming other links than the manifest.

Usage: check_boundaries.py --src SRC --manifest build/boundaries.tsv --widgets-dir QT_WIDGETS_DIR
       [--doc docs/architecture.md]
       [--plant FILE=TARGET ...]   (treat FILE as one of TARGET's sources: the self-test's way of
                                    planting a violation without touching src/)
       [--print-table]             (print the table's target, layer and links columns as the
                                    manifest has them, to start a row from)
Exit status 0 when clean, 1 with one line per violation.
"""
import argparse
import os
import re
import sys

# Layers from the bottom up. A file may include headers of its own layer or a lower one (and only
# of targets its target links). Tabs sit above the flows and widgets they use; the two programs
# sit on top.
LAYERS = [
    ("files", ["files"]),
    ("shared", ["files_qt", "imaging", "label_geometry", "tasks", "plots", "video_core",
                "training_defaults", "cli_args", "engine"]),
    ("cores", ["interchange", "annotator_core", "dataset_core", "resizer_core", "splitter_core",
               "enricher_core", "training_core", "cli_ranges"]),
    ("engine users", ["auto_label", "review_core", "inference_core", "video_predict",
                      "cli_preflight", "cli_process"]),
    ("widgets", ["ui", "widgets"]),
    ("flows", ["review_ui"]),
    ("tabs", ["resizer_tab", "splitter_tab", "enricher_tab", "annotator_tab", "dataset_tab",
              "training_tab", "inference_tab"]),
    ("programs", ["app_window", "orvane-studio", "orvane"]),
]
LAYER_OF = {t: i for i, (_, targets) in enumerate(LAYERS) for t in targets}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
TORCH_PREFIXES = ("torch/", "ATen/", "c10/", "caffe2/")
HEADER_SUFFIXES = (".h", ".hpp")
PRIVATE_SUFFIX = "_impl.h"


def read_manifest(path):
    targets = {}
    with open(path, encoding="utf-8") as manifest:
        for line in manifest:
            line = line.rstrip("\n")
            if not line:
                continue
            name, *fields = line.split("\t")
            entry = {"sources": [], "public": [], "private": []}
            for field in fields:
                key, _, value = field.partition("=")
                entry[key] = [v for v in value.split(",") if v]
            targets[name] = entry
    return targets


def owners(targets):
    """Header path (relative to src/) -> target. A header belongs to the target that compiles the
    source of the same name, or that lists it; failing both, to the only target of its folder."""
    owner = {}
    folder_targets = {}
    for name, entry in targets.items():
        for source in entry["sources"]:
            stem, ext = os.path.splitext(source)
            owner[stem + ".h" if ext != ".h" else source] = name
            folder_targets.setdefault(os.path.dirname(source), set()).add(name)
    return owner, folder_targets


def owner_of(header, owner, folder_targets):
    if header in owner:
        return owner[header]
    candidates = folder_targets.get(os.path.dirname(header), set())
    return next(iter(candidates)) if len(candidates) == 1 else None


def reachable(targets, name):
    """Project targets whose headers `name` may include: itself, what it links, and what those
    pass on through their PUBLIC links."""
    seen = {name}
    entry = targets[name]
    todo = [t for t in entry["public"] + entry["private"] if t in targets]
    while todo:
        t = todo.pop()
        if t in seen:
            continue
        seen.add(t)
        todo.extend(x for x in targets[t]["public"] if x in targets)
    return seen


def links(entry, library):
    return library in entry["public"] or library in entry["private"]


def files_of(src, entry):
    """The target's sources and the header beside each (a.cpp -> a.h when it exists), so a
    header is checked with the target that compiles it."""
    files = []
    for source in entry["sources"]:
        path = source if os.path.isabs(source) else os.path.join(src, source)
        files.append((source, path))
        stem, ext = os.path.splitext(source)
        header = stem + ".h"
        header_path = os.path.splitext(path)[0] + ".h"
        if ext != ".h" and header not in entry["sources"] and os.path.exists(header_path):
            files.append((header, header_path))
    return files


def passes_widgets(targets, name):
    """Whether Qt Widgets reaches `name`: linked by it, or passed on PUBLIC by what it links."""
    entry = targets[name]
    if links(entry, "Qt6::Widgets"):
        return True
    return any("Qt6::Widgets" in targets[t]["public"] for t in reachable(targets, name))


def check(src, targets, widgets_dir):
    owner, folder_targets = owners(targets)
    problems = []
    for name, entry in sorted(targets.items()):
        allowed = reachable(targets, name)
        has_widgets = passes_widgets(targets, name)
        uses_engine = name == "engine" or links(entry, "engine")
        exposed = set()
        for source, path in files_of(src, entry):
            shown = source
            try:
                with open(path, encoding="utf-8") as f:
                    text = f.read()
            except OSError as error:
                problems.append(f"{shown}: cannot read ({error.strerror})")
                continue
            is_header = source.endswith(HEADER_SUFFIXES) and not source.endswith(PRIVATE_SUFFIX)
            for bracket, included in INCLUDE.findall(text):
                if bracket == "<":
                    if included.startswith(TORCH_PREFIXES) and not uses_engine:
                        problems.append(f"{shown}: engine: <{included}> in {name}, which does "
                                        "not link the engine")
                    if (not has_widgets and widgets_dir and "/" not in included
                            and os.path.exists(os.path.join(widgets_dir, included))):
                        problems.append(f"{shown}: widgets: <{included}> in {name}, which does "
                                        "not link Qt Widgets")
                    if not has_widgets and included.startswith("QtWidgets/"):
                        problems.append(f"{shown}: widgets: <{included}> in {name}, which does "
                                        "not link Qt Widgets")
                    continue
                target = owner_of(included, owner, folder_targets)
                if target is None:
                    if not os.path.exists(os.path.join(os.path.dirname(path), included)):
                        problems.append(f"{shown}: \"{included}\" belongs to no target")
                    continue
                if target == name:
                    continue
                if included.endswith(PRIVATE_SUFFIX):
                    problems.append(f"{shown}: private: \"{included}\" is private to {target}")
                    continue
                if is_header:
                    exposed.add(target)
                if target == "engine" and not uses_engine:
                    problems.append(f"{shown}: engine: \"{included}\" in {name}, which does not "
                                    "link the engine")
                    continue
                mine, theirs = LAYER_OF.get(name), LAYER_OF.get(target)
                if mine is None or theirs is None:
                    missing = name if mine is None else target
                    problems.append(f"{shown}: layer: {missing} has no layer in "
                                    "scripts/check_boundaries.py")
                elif theirs > mine:
                    problems.append(f"{shown}: layer: \"{included}\" is {target} "
                                    f"({LAYERS[theirs][0]}), above {name} ({LAYERS[mine][0]})")
                    continue
                if target not in allowed:
                    problems.append(f"{shown}: link: \"{included}\" is {target}, which {name} "
                                    "does not link")
                elif is_header and target in entry["private"] and target not in entry["public"]:
                    problems.append(f"{shown}: public: the header includes \"{included}\" but "
                                    f"{name} links {target} PRIVATE")
        for kept in sorted(t for t in entry["public"] if t in targets and t not in exposed):
            problems.append(f"{name}: public: links {kept} PUBLIC but none of its headers "
                            "includes it (link it PRIVATE)")
    return problems


TABLE_ROW = re.compile(r"^\|\s*`([^`]+)`[^|]*\|\s*([^|]+?)\s*\|.*\|\s*([^|]*?)\s*\|\s*$")


def project_links(targets, name):
    entry = targets[name]
    return (sorted(t for t in entry["public"] if t in targets),
            sorted(t for t in entry["private"] if t in targets))


def links_cell(targets, name):
    public, private = project_links(targets, name)
    cell = " ".join(f"`{t}`" for t in public) or "-"
    if private:
        cell += " / " + " ".join(f"`{t}`" for t in private)
    return cell


def check_doc(doc, targets):
    """Rows look like | `target` (folder/) | layer | job | `public` ... / `private` ... |."""
    problems = []
    seen = {}
    with open(doc, encoding="utf-8") as text:
        for line in text:
            match = TABLE_ROW.match(line)
            if not match:
                continue
            name, layer, links = match.groups()
            if name not in LAYER_OF and name not in targets:
                continue  # a table of something else
            seen[name] = seen.get(name, 0) + 1
            if name not in targets:
                problems.append(f"{doc}: doc: `{name}` is not a target")
                continue
            if name in LAYER_OF and layer != LAYERS[LAYER_OF[name]][0]:
                problems.append(f"{doc}: doc: `{name}` is in layer "
                                f"'{LAYERS[LAYER_OF[name]][0]}', the page says '{layer}'")
            public_text, _, private_text = links.partition("/")
            said = (sorted(re.findall(r"`([^`]+)`", public_text)),
                    sorted(re.findall(r"`([^`]+)`", private_text)))
            if said != project_links(targets, name):
                problems.append(f"{doc}: doc: `{name}` links {links_cell(targets, name)}, the "
                                f"page says {links}")
    for name in sorted(targets):
        if seen.get(name, 0) != 1:
            problems.append(f"{doc}: doc: `{name}` has {seen.get(name, 0)} rows in the target "
                            "table, not 1")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--src", required=True)
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--widgets-dir", default="")
    parser.add_argument("--plant", action="append", default=[])
    parser.add_argument("--doc", default="")
    parser.add_argument("--print-table", action="store_true")
    args = parser.parse_args()
    targets = read_manifest(args.manifest)
    if args.print_table:
        for name in sorted(targets, key=lambda t: (LAYER_OF.get(t, 99), t)):
            layer = LAYERS[LAYER_OF[name]][0] if name in LAYER_OF else "?"
            print(f"| `{name}` | {layer} | | {links_cell(targets, name)} |")
        return 0
    for plant in args.plant:
        path, _, target = plant.rpartition("=")
        if target not in targets:
            print(f"--plant: no target {target}", file=sys.stderr)
            return 2
        targets[target]["sources"].append(os.path.abspath(path))
    problems = check(args.src, targets, args.widgets_dir)
    if args.doc:
        problems += check_doc(args.doc, targets)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} boundary violation(s)")
        return 1
    print(f"boundaries hold: {len(targets)} targets")
    return 0


if __name__ == "__main__":
    sys.exit(main())
