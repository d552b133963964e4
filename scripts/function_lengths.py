#!/usr/bin/env python3
"""Lists the longest C++ function bodies below a folder.

A plain brace-matching scan, not a parser: comments and string literals are blanked, then every
outermost `{` whose header (the text since the previous `;`, `{` or `}`) has a parameter list and
is not a namespace, class, struct, enum or initialiser opens a function. Lambdas and local
classes count towards the function that holds them. Lengths are in source lines, from the first
line of the signature to the closing brace.

    scripts/function_lengths.py [--most N] [DIR ...]     (default: src, 15 rows)
"""
import argparse
import pathlib
import re
import sys

CONTAINER = re.compile(r"\b(namespace|class|struct|union|enum)\b[^()]*$|\bextern\s+\"C\"")
NAME = re.compile(r"([~\w:<>]+(?:operator\s*[^\s(]+)?)\s*\($")


def blank(text):
    """Replaces comments and string/char literals by spaces, keeping the line breaks."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and (text[i - 1].isalnum()):
                out.append(c)  # digit separator 1'000
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    text = blank(path.read_text(errors="replace"))
    stack = []  # per open brace: "function" | "other"
    header_start = 0
    for i, c in enumerate(text):
        if c in ";{}":
            if c == "{":
                header = text[header_start:i]
                inside = "function" in (kind for kind, _ in stack)
                flat = " ".join(header.split())
                kind = "other"
                if not inside and not CONTAINER.search(flat) and ")" in flat:
                    before = flat[: flat.find("(") + 1] if "(" in flat else ""
                    if "=" not in before and not flat.lstrip().startswith("#"):
                        kind = "function"
                start = header_start + len(header) - len(header.lstrip())
                stack.append((kind, (start, flat)))
            elif c == "}" and stack:
                kind, (start, flat) = stack.pop()
                if kind == "function":
                    first = text.count("\n", 0, start) + 1
                    last = text.count("\n", 0, i) + 1
                    m = NAME.search(flat[: flat.find("(") + 1])
                    yield (last - first + 1, m.group(1) if m else flat[:40], path, first)
            header_start = i + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs="*", default=["src"])
    parser.add_argument("--most", type=int, default=15)
    args = parser.parse_args()
    found = []
    for d in args.dirs:
        for p in sorted(pathlib.Path(d).rglob("*")):
            if p.suffix in (".cpp", ".cc", ".h", ".hpp") and p.is_file():
                found.extend(functions(p))
    found.sort(key=lambda f: (-f[0], str(f[2]), f[3]))
    for lines, name, path, line in found[: args.most]:
        print(f"{lines:5d}  {name}  {path}:{line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
