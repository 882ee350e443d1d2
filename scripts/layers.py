#!/usr/bin/env python3
"""Checks the shape of src/: calls go downward, service -> control -> tunnel
-> split -> routing -> support, never back, and no file reaches itself
through the files it calls. A file's calls are read from the project headers
it includes (a .h and its .cpp count as one file). A file whose header says
it "includes no platform header" (the pure parsing the fuzz project builds
natively) must reach none, itself or through any file it calls. The global
record (HelperState) must not carry a call upward either: a field that only
a higher layer writes may not be read below it (the lower layer would depend
on the higher one's state without including it), except the few fields that
are truly process-wide. Exits 1 and says where when a rule is broken."""
import os
import re
import sys

LAYERS = ["support", "routing", "split", "tunnel", "control", "service"]
PURE_MARK = "includes no platform header"
# The fields of the global record every layer may read, whoever writes them:
# the names, the stop event, the connected flag and the published lists.
PROCESS_WIDE = {"ServiceName", "ServiceDisplayName", "PipePath", "TunnelName", "StopEvent",
                "TunnelConnected", "SplitApps", "BypassDomains", "BypassNets", "BypassNetList"}
FIELD = re.compile(r"HelperState\.([A-Za-z0-9_]+)")
# A use of a field that changes it: assigned (a member of it too), or
# changed through an atomic's or a container's own call.
WRITE = re.compile(r"(?:\.[A-Za-z0-9_]+)*\s*(?:=(?!=)|\.(?:store|exchange|clear|swap|push_back|"
                   r"emplace_back|insert|erase|assign|reset)\()")
# The system headers of Windows the helper includes; any of them keeps a
# file from building natively.
PLATFORM_HEADERS = re.compile(
    r"#include <(windows|winsock2|ws2tcpip|ws2ipdef|iphlpapi|netioapi|mstcpip|wincrypt|"
    r"winternl|aclapi|sddl|bcrypt|psapi|winsvc|shlobj|userenv|wtsapi32)\.h>", re.IGNORECASE)


def main(root):
    files = {}
    for directory, _, names in os.walk(root):
        for name in names:
            if name.endswith((".cpp", ".h")):
                path = os.path.join(directory, name)
                unit = os.path.relpath(path, root).rsplit(".", 1)[0].replace(os.sep, "/")
                files.setdefault(unit, []).append(path)
    calls = {unit: set() for unit in files}
    writers, readers = {}, {}  # field -> {layer: first place}
    platform = {}  # unit -> a platform header it includes itself
    pure = set()
    for unit, paths in files.items():
        for path in paths:
            with open(path, encoding="utf-8") as source:
                text = source.read()
            for included in re.findall(r'#include "([^"]+)\.h"', text):
                if included in files and included != unit:
                    calls[unit].add(included)
            layer = unit.split("/")[0]
            for number, line in enumerate(text.splitlines(), 1):
                if line.lstrip().startswith("//"):
                    continue
                for use in FIELD.finditer(line):
                    field, rest = use.group(1), line[use.end():]
                    written = WRITE.match(rest) or re.search(
                        r"std::atomic_store\(&HelperState\." + field + r"\b", line)
                    (writers if written else readers).setdefault(field, {}).setdefault(
                        layer, f"{path}:{number}")
            found = PLATFORM_HEADERS.search(text)
            if found:
                platform.setdefault(unit, found.group(0))
            if path.endswith(".h"):
                comments = " ".join(line.strip().lstrip("/").strip()
                                    for line in text.splitlines() if line.strip().startswith("//"))
                if PURE_MARK in comments.lower():
                    pure.add(unit)
    faults = []
    for unit, callees in sorted(calls.items()):
        layer = unit.split("/")[0]
        if layer not in LAYERS:
            continue
        for callee in sorted(callees):
            below = callee.split("/")[0]
            if below in LAYERS and LAYERS.index(below) > LAYERS.index(layer):
                faults.append(f"{unit} calls upward into {callee}")
    for unit in sorted(pure):
        reached, todo = set(), [unit]
        while todo:
            one = todo.pop()
            if one in reached:
                continue
            reached.add(one)
            todo.extend(calls[one])
        for one in sorted(reached):
            if one in platform:
                via = "" if one == unit else f" through {one}"
                faults.append(f"{unit} says it includes no platform header but reaches "
                              f"{platform[one]}{via}")
    for field, by in sorted(readers.items()):
        if field in PROCESS_WIDE or field not in writers:
            continue
        lowest = min((LAYERS.index(w) for w in writers[field] if w in LAYERS), default=None)
        if lowest is None:
            continue
        for layer, place in sorted(by.items()):
            if layer in LAYERS and LAYERS.index(layer) < lowest:
                faults.append(f"{place} reads HelperState.{field}, which only {LAYERS[lowest]} "
                              f"and above write: a flow upward")
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
    print(f"{len(files)} files of {root}, {len(pure)} of them pure: " +
          ("calls go downward, no circle, the pure ones reach no platform header"
           if not faults else f"{len(faults)} faults"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "src"))
