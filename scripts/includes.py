"""The include graph of the module's code: every include of a project header
must point down the rooms (core at the bottom, then runtime, then function
and enums side by side, then module) or stay in its room, and no two
components (a header with its source file) may depend on each other, through
any path. A room's internal.h (routines declared for the C++ tests and
benchmarks) is for that room alone. Prints the includes per pair of rooms;
exits 1 on an upward or sideways include, an include of another room's
internal header, or a cycle.

Usage: includes.py [ROOT]
"""
import collections
import pathlib
import re
import sys

RANK = {"core": 0, "runtime": 1, "function": 2, "enums": 2, "module": 3}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([A-Za-z0-9_]+)\.h"', re.M)


def main(root):
    root = pathlib.Path(root)
    edges = collections.defaultdict(set)  # component -> components it includes
    pairs = collections.Counter()
    problems = []
    for room in RANK:
        for path in sorted((root / room).glob("*.[ch]*")):
            component = f"{room}/{path.stem}"
            edges.setdefault(component, set())
            for target_room, stem in INCLUDE.findall(path.read_text()):
                if target_room not in RANK:
                    continue
                pairs[(room, target_room)] += 1
                target = f"{target_room}/{stem}"
                if target != component:
                    edges[component].add(target)
                if stem == "internal" and target_room != room:
                    problems.append(f"{path.relative_to(root)} includes {target}.h: "
                                    "another room's internal header")
                elif target_room != room and RANK[target_room] >= RANK[room]:
                    problems.append(f"{path.relative_to(root)} includes {target}.h: "
                                    f"{'sideways' if RANK[target_room] == RANK[room] else 'upward'}")
    for cycle in cycles(edges):
        problems.append("cycle between components: " + " -> ".join(cycle + [cycle[0]]))
    for (a, b), n in sorted(pairs.items(), key=lambda kv: (-RANK[kv[0][0]], kv[0])):
        print(f"  {a} -> {b}: {n}")
    for line in problems:
        print("  FAULT", line)
    print(f"includes: {sum(pairs.values())} project includes in {len(edges)} components; "
          f"{len(problems)} upward, sideways or cyclic")
    return 1 if problems else 0


def cycles(edges):
    """The strongly connected components of more than one node (Tarjan)."""
    index, low, stack, on_stack, found, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            scc = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                scc.append(w)
                if w == v:
                    break
            if len(scc) > 1:
                found.append(sorted(scc))

    for v in sorted(edges):
        if v not in index:
            visit(v)
    return found


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent))
