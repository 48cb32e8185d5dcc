"""Includes run one way: app/ -> process/, deploy/ -> install/ -> platform/; deploy/ -> archive/ ->
platform/. Nothing outside app/ includes app/, and no two files of one folder include each other,
however indirectly. Usage: include_order_test.py SOURCE_DIR"""
import re
import subprocess
import sys
from pathlib import Path

MAY_INCLUDE = {
    "app": {"process", "deploy", "install", "platform"},
    "process": {"install", "platform"},
    "deploy": {"install", "archive", "platform"},
    "install": {"platform"},
    "archive": {"platform"},
    "platform": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def module(path):  # a header and its sources are one module
    return re.sub(r"(_win32|_posix)?\.(h|cpp)$", "", path)


def main():
    top = Path(sys.argv[1])
    files = subprocess.run(["git", "-C", str(top), "ls-files", "*.h", "*.cpp"], capture_output=True, text=True,
                           check=True).stdout.split()
    faults, edges = [], {}
    for name in files:
        folder = name.split("/")[0]
        for included in INCLUDE.findall((top / name).read_text(encoding="utf-8", errors="replace")):
            target = included.split("/")[0]
            if "/" not in included or target == folder:
                edges.setdefault(module(name), set()).add(module(included))
            elif target == "app" or (folder in MAY_INCLUDE and target not in MAY_INCLUDE[folder]):
                faults.append(f"{name} includes {included}: {folder}/ may not depend on {target}/")
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open" and nxt != node:
                faults.append("circle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state and node.split("/")[0] in MAY_INCLUDE:
            visit(node, [node])
    print("\n".join(faults) or f"{len(files)} files: every include runs one way")
    return 1 if faults else 0


sys.exit(main())
