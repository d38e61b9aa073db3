"""The import case: importing the extension module in a fresh interpreter
against importing its pure-Python counterpart (pure_weekdays.py, bytecode
cached), in process pairs whose order alternates.

Both sides live in package trees of the same shape (quendrix/core/enums with
the same __init__ files, bytecode cached) under a scratch directory, and are
imported by the same statement; each child process times the import itself
and the parent times the whole process. Writes the rows for qx_bench's
--extra-rows (tab-separated) and a summary on stderr.
"""
import argparse
import compileall
import glob
import os
import shutil
import statistics
import subprocess
import sys
import time

CHILD = r"""
import sys, time
sys.path.insert(0, {root!r})
t0 = time.perf_counter_ns()
import quendrix.core.enums.weekdays as m
t1 = time.perf_counter_ns()
assert int(m.Friday) == 6 and len(m.Weekdays) == 7 and m.Weekdays(1) is m.Sunday
print(t1 - t0)
"""

PACKAGE_FILES = (
    "quendrix/__init__.py",
    "quendrix/core/__init__.py",
    "quendrix/core/enums/__init__.py",
)


def build_trees(package_root, work):
    """Returns (extension tree, pure tree): two roots for sys.path."""
    ext_root = os.path.join(work, "ext")
    pure_root = os.path.join(work, "pure")
    for root in (ext_root, pure_root):
        for name in PACKAGE_FILES:
            target = os.path.join(root, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(package_root, name), target)
    found = glob.glob(os.path.join(package_root, "quendrix/core/enums/weekdays.*.so"))
    if len(found) != 1:
        sys.exit(f"import_bench: expected one built module in {package_root}, found {found}")
    shutil.copy2(found[0], os.path.join(ext_root, "quendrix/core/enums", os.path.basename(found[0])))
    here = os.path.dirname(os.path.abspath(__file__))
    shutil.copyfile(os.path.join(here, "pure_weekdays.py"),
                    os.path.join(pure_root, "quendrix/core/enums/weekdays.py"))
    for root in (ext_root, pure_root):
        if not compileall.compile_dir(root, quiet=1):
            sys.exit(f"import_bench: cannot compile {root}")
    return ext_root, pure_root


def run_child(python, root):
    """(import nanoseconds as the child timed them, process wall nanoseconds)."""
    t0 = time.perf_counter_ns()
    proc = subprocess.run([python, "-I", "-c", CHILD.format(root=root)],
                          capture_output=True, text=True, check=False)
    wall = time.perf_counter_ns() - t0
    if proc.returncode != 0:
        sys.exit(f"import_bench: child failed ({proc.returncode}) for {root}:\n{proc.stderr}")
    return int(proc.stdout.strip()), wall


def row(name, module_side, interp_side, unit, a, b, goal):
    ratios = [x / y for x, y in zip(a, b)]
    ratio = statistics.median(ratios)
    if goal is None:
        goal_text, result = "report", "info"
    else:
        goal_text, result = f"<= {goal:.2f}", ("pass" if ratio <= goal else "MISS")
    return [name, module_side, interp_side, unit, f"{statistics.median(a):.3f}",
            f"{statistics.median(b):.3f}", f"{ratio:.6f}", goal_text, result]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--package-root", required=True,
                        help="the build tree's python/ directory (holds quendrix/)")
    parser.add_argument("--work", required=True, help="scratch directory")
    parser.add_argument("--out", required=True, help="file for the rows")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--pairs", type=int, default=31)
    parser.add_argument("--warmup", type=int, default=2)
    args = parser.parse_args()

    ext_root, pure_root = build_trees(args.package_root, args.work)
    ext_import, pure_import, ext_wall, pure_wall = [], [], [], []
    for i in range(args.warmup + args.pairs):
        if i % 2 == 0:
            e = run_child(args.python, ext_root)
            p = run_child(args.python, pure_root)
        else:
            p = run_child(args.python, pure_root)
            e = run_child(args.python, ext_root)
        if i < args.warmup:
            continue
        ext_import.append(e[0] / 1e3)
        pure_import.append(p[0] / 1e3)
        ext_wall.append(e[1] / 1e3)
        pure_wall.append(p[1] / 1e3)

    rows = [
        row(f"import, fresh interpreter ({args.pairs} pairs)", "extension module",
            "pure Python, .pyc cached", "us", ext_import, pure_import, 1.0),
        row(f"process: start+import+exit ({args.pairs} pairs)", "extension module",
            "pure Python, .pyc cached", "us", ext_wall, pure_wall, None),
    ]
    with open(args.out, "w") as out:
        for r in rows:
            out.write("\t".join(r) + "\n")
    for r in rows:
        print(f"  measured: {r[0]}: {r[4]} vs {r[5]} us, ratio {float(r[6]):.3f}", file=sys.stderr)


if __name__ == "__main__":
    main()
