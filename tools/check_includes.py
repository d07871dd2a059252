"""The simulated library's include order: every `#include "..."` in sdk/src points down its layers.

The layers are data (sdk/layers.toml, top first). A file may include a header of its own layer or
of a layer below; an include that points up, a cycle among the modules, or a file that no layer
names fails the check. A module is a header and the .cpp files of the same name.

Usage: python tools/check_includes.py [SOURCE_DIR [LAYERS_TOML]]
"""

import re
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"', re.MULTILINE)


def module_graph(source_dir: Path) -> dict[str, set[str]]:
    """Each module's project includes (other than its own header)."""
    graph: dict[str, set[str]] = {}
    for path in sorted(source_dir.glob("*.[ch]*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        edges = graph.setdefault(path.stem, set())
        edges.update(name for name in INCLUDE.findall(path.read_text()) if name != path.stem)
    return graph


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}  # 1 on the path being walked, 2 done
    path: list[str] = []

    def walk(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (found := walk(nxt)):
                return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (found := walk(node)):
            return found
    return None


def check(source_dir: Path, layers_file: Path) -> list[str]:
    layers = tomllib.loads(layers_file.read_text())["layer"]
    rank = {m: len(layers) - i for i, layer in enumerate(layers) for m in layer["modules"]}
    name = {m: layer["name"] for layer in layers for m in layer["modules"]}
    graph = module_graph(source_dir)
    faults = [f"{m}: in no layer of {layers_file.name}" for m in sorted(graph) if m not in rank]
    for module, includes in sorted(graph.items()):
        for header in sorted(includes):
            if header not in rank:
                faults.append(f"{module} includes {header}.h, which is in no layer")
            elif module in rank and rank[header] > rank[module]:
                faults.append(f"{module} ({name[module]}) includes {header}.h of a layer above ({name[header]})")
    if cycle := find_cycle(graph):
        faults.append("include cycle: " + " -> ".join(cycle))
    return faults


def main() -> int:
    source_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "sdk" / "src"
    layers_file = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "sdk" / "layers.toml"
    faults = check(source_dir, layers_file)
    for fault in faults:
        print(f"check_includes: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
