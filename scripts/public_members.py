#!/usr/bin/env python3
"""Counts what each QWidget/QMainWindow class shows outside itself.

For every class in the given headers that derives from a Qt widget, prints the number of public
data members and public methods (signals are a tab's outward voice and are listed apart).
Usage: scripts/public_members.py src/*/*.h
"""
import re
import sys

WIDGET_BASES = ("QWidget", "QMainWindow", "QDialog", "QGraphicsView", "QGraphicsScene")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def class_bodies(text):
    for m in re.finditer(r"\bclass\s+(\w+)\s*(?:final\s*)?:\s*public\s+([\w:]+)\s*\{", text):
        name, base = m.group(1), m.group(2)
        depth, i = 1, m.end()
        while depth and i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
        yield name, base, text[m.end():i - 1]


def count(body):
    access, data, methods, signals = "private", 0, 0, 0
    # Inline bodies would confuse the statement split: drop them.
    flat, depth = [], 0
    for ch in body:
        if ch == "{":
            depth += 1
            if depth == 1:
                flat.append(";")
            continue
        if ch == "}":
            depth -= 1
            continue
        if depth == 0:
            flat.append(ch)
    for stmt in "".join(flat).split(";"):
        stmt = stmt.strip()
        while True:
            m = re.match(r"(public|protected|private)(\s+Q_SLOTS)?\s*:|Q_SIGNALS\s*:|Q_OBJECT", stmt)
            if not m:
                break
            word = m.group(0)
            if word.startswith("Q_SIGNALS"):
                access = "signals"
            elif word != "Q_OBJECT":
                access = m.group(1)
            stmt = stmt[m.end():].strip()
        if not stmt or stmt.startswith(("using", "friend", "enum", "struct", "class", "static_assert")):
            continue
        if access == "signals":
            signals += 1
        elif access == "public":
            if "(" in stmt and not re.search(r"=\s*[^=]*\(", stmt.split("(")[0] + "("):
                methods += 1
            else:
                data += 1
    return data, methods, signals


def main(paths):
    print(f"{'class':28} {'data':>5} {'methods':>8} {'signals':>8}  header")
    for path in sorted(paths):
        text = strip_comments(open(path, encoding="utf-8").read())
        for name, base, body in class_bodies(text):
            if base.split("::")[-1] not in WIDGET_BASES:
                continue
            data, methods, signals = count(body)
            print(f"{name:28} {data:5} {methods:8} {signals:8}  {path}")


if __name__ == "__main__":
    main(sys.argv[1:])
