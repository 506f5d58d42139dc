#!/usr/bin/env python3
"""Checks the dependency rule of src/: includes point only downward.

Every folder under src/ has a rank; a file may include headers of its own
folder and of folders it is allowed to see (the table below). An include of a
higher or sideways folder, an include by python/ of an engine header other
than the engine's front (and the headers the front includes), or a cycle among
files through their includes, fails the check with one line per fault. Run
from anywhere; exits 1 on any fault, 0 otherwise.
"""
import pathlib
import re
import sys

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# What each folder may include besides itself. Folders not named here fail
# the check, so a new folder must be placed in the order on purpose.
ALLOWED = {
    "common": set(),
    "linalg": {"common"},
    "quantizer": {"common", "linalg"},
    "storage/io": {"common"},
    "storage/log": {"common", "quantizer", "storage/io"},
    "storage/slots": {"common", "storage/io"},
    "storage/metadata": {"common", "storage/io"},
    "storage/graph": {"common", "storage/io"},
    "index": {"common", "storage/io", "storage/graph"},
    "search": {"common", "linalg", "quantizer"},
    "engine": {"common", "linalg", "quantizer", "storage/io", "storage/log", "storage/slots",
               "storage/metadata", "storage/graph", "index", "search"},
    "python": {"common", "engine"},
}

# The binding reaches the engine through its front alone: of engine/ it may
# include only these headers (the front and the headers the front itself
# includes, read from it below).
FRONT = "engine/velqor_engine.h"

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(rel: str) -> str:
    """The layer a path under src/ belongs to: the longest folder prefix in ALLOWED."""
    parts = rel.split("/")
    for n in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in ALLOWED:
            return candidate
    return "/".join(parts[:-1]) or "."


def front_headers() -> set[str]:
    """The front and the engine headers it includes directly."""
    text = (SRC / FRONT).read_text(encoding="utf-8")
    return {FRONT} | {t for t in INCLUDE.findall(text) if folder_of(t) == "engine"}


def main() -> int:
    front = front_headers()
    files = sorted(p for p in SRC.rglob("*") if p.suffix in (".h", ".cc"))
    graph: dict[str, list[str]] = {}
    faults: list[str] = []
    for path in files:
        rel = path.relative_to(SRC).as_posix()
        own = folder_of(rel)
        if own not in ALLOWED:
            faults.append(f"{rel}: folder '{own}' has no place in the layer table")
            continue
        targets = []
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if not (SRC / target).exists():
                continue  # a system or generated header
            targets.append(target)
            theirs = folder_of(target)
            if theirs != own and theirs not in ALLOWED[own]:
                faults.append(f"{rel}: includes {target} ({own} may not depend on {theirs})")
            elif own == "python" and theirs == "engine" and target not in front:
                faults.append(f"{rel}: includes {target} (python reaches the engine only through {FRONT})")
        graph[rel] = targets

    # Cycles among files, by depth-first search with three colours.
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> None:
        state[node] = 1
        stack.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                cycle = stack[stack.index(nxt):] + [nxt]
                faults.append("include cycle: " + " -> ".join(cycle))
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = 2

    sys.setrecursionlimit(10000)
    for node in graph:
        if node not in state:
            visit(node)

    for fault in faults:
        print(fault)
    print(f"layer check: {len(graph)} files, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
