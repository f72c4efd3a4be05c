#!/usr/bin/env python3
"""Checks that the folders of the library include each other without a cycle.

Each folder of the layer table in ARCHITECTURE.md is a node; an include of "a/b.h" from a
file in folder X is an edge X -> a. The build
already refuses includes outside a target's view; this catches a cycle that views alone
would allow, such as two folders whose headers include each other."""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
FOLDERS = ["der", "text", "scratch", "platform", "support", "asn1", "call", "stores", "certs", "messages", "frame"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path):
    for f in sorted(FOLDERS, key=len, reverse=True):
        if path == f or path.startswith(f + "/"):
            return f
    return None


edges = {f: set() for f in FOLDERS}
for f in FOLDERS:
    for dirpath, _, names in os.walk(os.path.join(ROOT, f)):
        for name in names:
            if not name.endswith((".h", ".cpp")):
                continue
            rel = os.path.relpath(os.path.join(dirpath, name), ROOT)
            here = folder_of(rel)
            with open(os.path.join(dirpath, name), encoding="utf-8") as src:
                for line in src:
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    there = folder_of(m.group(1))
                    if there is not None and there != here:
                        edges[here].add(there)

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
