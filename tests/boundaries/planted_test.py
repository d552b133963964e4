#!/usr/bin/env python3
"""Plants one violation of each kind beside the real tree and expects the boundary check to name
it; the real tree alone must pass. Usage: planted_test.py CHECKER CHECKER_ARGS..."""
import subprocess
import sys
import tempfile
from pathlib import Path

# (what is planted, the target the file is counted in, its text, the word the check must print)
PLANTS = [
    ("a core including Qt Widgets", "dataset_core", "#include <QWidget>\n", "widgets"),
    ("a core including Qt Widgets by module path", "resizer_core",
     "#include <QtWidgets/QDialog>\n", "widgets"),
    ("LibTorch outside the engine's users", "dataset_core", "#include <torch/torch.h>\n",
     "engine"),
    ("an engine header outside the engine's users", "annotator_core",
     '#include "engine/yolo.h"\n', "engine"),
    ("a core including a tab (a layer above)", "annotator_core",
     '#include "annotator/annotator_tab.h"\n', "layer"),
    ("the shared layer including a core", "imaging", '#include "dataset/health_check.h"\n',
     "layer"),
    ("a header of a target not linked", "resizer_core", '#include "video/video_source.h"\n',
     "link"),
    ("another target's private header", "inference_tab",
     '#include "inference/inference_model_impl.h"\n', "private"),
    ("a public header exposing a private link", "inference_core",
     '#include "engine/yolo.h"\n', "public"),
]


def run(checker, args, plant=None):
    extra = ["--plant", plant] if plant else []
    done = subprocess.run([sys.executable, checker, *args, *extra], capture_output=True,
                          text=True, check=False)
    return done.returncode, done.stdout + done.stderr


def main():
    checker, args = sys.argv[1], sys.argv[2:]
    failures = []
    code, output = run(checker, args)
    if code != 0:
        failures.append(f"the real tree does not pass:\n{output}")
    with tempfile.TemporaryDirectory() as folder:
        for what, target, text, word in PLANTS:
            # A header when the rule is about what headers expose, a source otherwise.
            name = "planted.h" if word == "public" else "planted.cpp"
            path = Path(folder) / what.replace(" ", "_").replace("'", "") / name
            path.parent.mkdir()
            path.write_text(text, encoding="utf-8")
            code, output = run(checker, args, f"{path}={target}")
            if code != 1 or f": {word}:" not in output or "planted" not in output:
                failures.append(f"{what}: exit {code}, expected a '{word}' line naming the "
                                f"planted file:\n{output}")
        # The map's table must follow the manifest: a row naming a link the target lacks fails.
        if "--doc" in args:
            at = args.index("--doc") + 1
            page = Path(args[at]).read_text(encoding="utf-8")
            row = next(line for line in page.splitlines() if line.startswith("| `files_qt` |"))
            wrong = Path(folder) / "architecture.md"
            wrong.write_text(page.replace(row, row.replace("`files` /", "`imaging` /")),
                             encoding="utf-8")
            code, output = run(checker, args[:at] + [str(wrong)] + args[at + 1:])
            if code != 1 or ": doc: `files_qt`" not in output:
                failures.append(f"a wrong row in the map: exit {code}:\n{output}")
    for failure in failures:
        print(failure)
    print(f"{len(PLANTS) + 1} checks, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
