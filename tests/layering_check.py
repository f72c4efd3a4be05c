#!/usr/bin/env python3
"""Checks that the folders of the library include each other without a cycle.

Each folder of the layer table in ARCHITECTURE.md is a node; an include of "a/b.h" from a
file in folder X is an edge X -> a, and so is a forward declaration ("class C;") in X of a
class that only folder a defines: a lower layer that names an upper one's type without
including it depends on it all the same. The build already refuses includes outside a
target's view; this catches a cycle that views alone would allow, such as two folders whose
headers include each other or a folder that declares an upper folder's class for itself."""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
FOLDERS = ["der", "text", "scratch", "platform", "support", "asn1", "call", "stores", "certs", "messages", "frame"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
DECLARE = re.compile(r"^\s*(?:class|struct)\s+(\w+)\s*;")
DEFINE = re.compile(r"^\s*(?:class|struct)\s+(\w+)\s*(?:final\s*)?(?:[:{]|$)")


def folder_of(path):
    for f in sorted(FOLDERS, key=len, reverse=True):
        if path == f or path.startswith(f + "/"):
            return f
    return None


def sources():
    """(folder, lines) of every source file of the layered folders."""
    for f in FOLDERS:
        for dirpath, _, names in os.walk(os.path.join(ROOT, f)):
            for name in names:
                if name.endswith((".h", ".cpp")):
                    rel = os.path.relpath(os.path.join(dirpath, name), ROOT)
                    with open(os.path.join(dirpath, name), encoding="utf-8") as src:
                        yield folder_of(rel), src.read().splitlines()


edges = {f: set() for f in FOLDERS}
defined_in = {}  # class name -> folders that define it
declared = []  # (folder, class name) of forward declarations
for here, lines in sources():
    for line in lines:
        m = INCLUDE.match(line)
        if m:
            there = folder_of(m.group(1))
            if there is not None and there != here:
                edges[here].add(there)
        elif DECLARE.match(line):
            declared.append((here, DECLARE.match(line).group(1)))
        elif DEFINE.match(line):
            defined_in.setdefault(DEFINE.match(line).group(1), set()).add(here)
for here, name in declared:
    owners = defined_in.get(name, set())
    if len(owners) == 1 and here not in owners:
        edges[here] |= owners

state = {}


def visit(node, trail):
    state[node] = "open"
    for nxt in sorted(edges[node]):
        if state.get(nxt) == "open":
            print("include cycle: " + " -> ".join(trail + [node, nxt]))
            sys.exit(1)
        if nxt not in state:
            visit(nxt, trail + [node])
    state[node] = "done"


for f in FOLDERS:
    if f not in state:
        visit(f, [])
for f in FOLDERS:
    print(f"{f}: {', '.join(sorted(edges[f])) or '-'}")
