#!/usr/bin/env python3
"""Checks the shape of src/: calls go downward, service -> control -> tunnel
-> split -> routing -> support, never back, and no file reaches itself
through the files it calls. A file's calls are read from the project headers
it includes (a .h and its .cpp count as one file). Exits 1 and says where
when either rule is broken."""
import os
import re
import sys

LAYERS = ["support", "routing", "split", "tunnel", "control", "service"]


def main(root):
    files = {}
    for directory, _, names in os.walk(root):
        for name in names:
            if name.endswith((".cpp", ".h")):
                path = os.path.join(directory, name)
                unit = os.path.relpath(path, root).rsplit(".", 1)[0].replace(os.sep, "/")
                files.setdefault(unit, []).append(path)
    calls = {unit: set() for unit in files}
    for unit, paths in files.items():
        for path in paths:
            with open(path, encoding="utf-8") as source:
                for included in re.findall(r'#include "([^"]+)\.h"', source.read()):
                    if included in files and included != unit:
                        calls[unit].add(included)
    faults = []
    for unit, callees in sorted(calls.items()):
        layer = unit.split("/")[0]
        if layer not in LAYERS:
            continue
        for callee in sorted(callees):
            below = callee.split("/")[0]
            if below in LAYERS and LAYERS.index(below) > LAYERS.index(layer):
                faults.append(f"{unit} calls upward into {callee}")
    # A circle is a strongly connected group of more than one file.
    index, low, stack, on_stack, counter = {}, {}, [], set(), [0]

    def visit(unit):
        index[unit] = low[unit] = counter[0]
        counter[0] += 1
        stack.append(unit)
        on_stack.add(unit)
        for callee in calls[unit]:
            if callee not in index:
                visit(callee)
                low[unit] = min(low[unit], low[callee])
            elif callee in on_stack:
                low[unit] = min(low[unit], index[callee])
        if low[unit] == index[unit]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == unit:
                    break
            if len(group) > 1:
                faults.append("circle: " + " -> ".join(sorted(group)))

    for unit in sorted(calls):
        if unit not in index:
            visit(unit)
    for fault in faults:
        print(fault)
    print(f"{len(files)} files of {root}: " + ("calls go downward, no circle" if not faults
                                               else f"{len(faults)} faults"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "src"))
