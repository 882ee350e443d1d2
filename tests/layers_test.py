#!/usr/bin/env python3
"""The layering check refuses what it must and passes what it may, on small
made-up trees (the real tree only shows that it passes today)."""
import os
import subprocess
import sys
import tempfile

LAYERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "layers.py")

CASES = [
    # (name, {file: text}, the fault expected in the output, or None for a pass)
    ("a call downward passes",
     {"routing/a.h": '#include "support/b.h"\n', "support/b.h": ""}, None),
    ("a call upward is refused",
     {"routing/a.h": '#include "tunnel/b.h"\n', "tunnel/b.h": ""}, "routing/a calls upward into tunnel/b"),
    ("a circle is refused",
     {"split/a.h": '#include "split/b.h"\n', "split/b.h": '#include "split/a.h"\n'}, "circle:"),
    ("a read below the only writer is refused",
     {"tunnel/t.cpp": "void f() { HelperState.TunnelFacts = {}; }\n",
      "routing/r.cpp": "int g() { return HelperState.TunnelFacts.Size; }\n"},
     "reads HelperState.TunnelFacts, which only tunnel and above write"),
    ("a read beside or above the writer passes",
     {"tunnel/t.cpp": "void f() { HelperState.TunnelFacts.Warnings.push_back(w); }\n",
      "control/c.cpp": "int g() { return HelperState.TunnelFacts.Size; }\n",
      "tunnel/u.cpp": "bool h() { return HelperState.TunnelFacts.Size == 0; }\n"}, None),
    ("an atomic store counts as a write",
     {"control/c.cpp": "void f() { std::atomic_store(&HelperState.Secret, p); }\n",
      "split/s.cpp": "auto g() { return std::atomic_load(&HelperState.Secret); }\n"},
     "reads HelperState.Secret, which only control and above write"),
    ("the process-wide fields may be read anywhere",
     {"tunnel/t.cpp": "void f() { HelperState.TunnelConnected.exchange(true); }\n",
      "routing/r.cpp": "bool g() { return HelperState.TunnelConnected; }\n"}, None),
]


def main():
    failures = 0
    for name, tree, expected in CASES:
        with tempfile.TemporaryDirectory() as root:
            for path, text in tree.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as out:
                    out.write(text)
            run = subprocess.run([sys.executable, LAYERS, root], capture_output=True, text=True)
        ok = (run.returncode == 0) if expected is None else (run.returncode == 1 and expected in run.stdout)
        if not ok:
            failures += 1
            print(f"FAIL {name}: exit {run.returncode}\n{run.stdout}")
    print(f"{len(CASES) - failures} of {len(CASES)} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
