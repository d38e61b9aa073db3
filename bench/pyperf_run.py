"""Runs every case of pyperf_cases.py under pyperf, the module's side and
the interpreter's side in turn, and writes:

- each side's results in pyperf's JSON: JSON_DIR/module.json and
  JSON_DIR/interp.json (one benchmark per case, the same names in both), for
  `python -m pyperf compare_to` between two runs or between the two sides;
- pyperf's own output in JSON_DIR/pyperf.log;
- the table rows for qx_bench --extra-rows (--rows).

Run by the tools venv's interpreter (it has pyperf), with the package tree
and qx_bench_objects on PYTHONPATH, which pyperf passes to its workers.
"""
import argparse
import compileall
import glob
import os
import shlex
import shutil
import subprocess
import sys

import pyperf

from pyperf_cases import CASES

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_FILES = ("quendrix/__init__.py", "quendrix/core/__init__.py", "quendrix/core/enums/__init__.py")
SCALE = {"ns/op": 1e9, "us": 1e6}
# A smoke run: one process per side, one value of one loop, no warm-up.
QUICK = ("--processes", "1", "--values", "1", "--warmups", "0", "--loops", "1")
# A full run: 8 processes per side in two halves, 3 values of 50 ms each
# (pyperf's defaults, 20 processes and 100 ms, would take 4 minutes).
FULL = ("--processes", "4", "--min-time", "0.05")


def build_trees(package_root, work):
    """Two package trees of the same shape under work/: ext/ holds the built
    extension, pure/ its pure-Python counterpart; bytecode cached in both."""
    for side in ("ext", "pure"):
        for name in PACKAGE_FILES:
            target = os.path.join(work, side, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(package_root, name), target)
    found = glob.glob(os.path.join(package_root, "quendrix/core/enums/weekdays.*.so"))
    if len(found) != 1:
        sys.exit(f"pyperf_run: expected one built module in {package_root}, found {found}")
    shutil.copy2(found[0], os.path.join(work, "ext/quendrix/core/enums", os.path.basename(found[0])))
    shutil.copyfile(os.path.join(HERE, "pure_weekdays.py"),
                    os.path.join(work, "pure/quendrix/core/enums/weekdays.py"))
    for side in ("ext", "pure"):
        if not compileall.compile_dir(os.path.join(work, side), quiet=1):
            sys.exit(f"pyperf_run: cannot compile {work}/{side}")


def run_side(case, side, args, log):
    cmd = [sys.executable, os.path.join(HERE, "pyperf_cases.py"), "--case", case.name, "--side", side,
           "--append", os.path.join(args.json_dir, f"{side}.json")]
    cmd += QUICK if args.quick else FULL + tuple(case.options)
    if case.name == "import":
        cmd += ["--child-python", args.python, "--trees", args.work]
    log.write(f"$ {shlex.join(cmd)}\n")
    log.flush()
    start = log.tell()
    if subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT, check=False).returncode != 0:
        with open(log.name) as output:
            output.seek(start)
            first = output.read().splitlines()[:15]  # the worker's error comes first
        sys.exit("\n".join(first + [f"pyperf_run: {case.name} ({side} side) failed; see {log.name}"]))


def row(case, module, interp):
    scale = SCALE[case.unit]
    a, b = module.mean(), interp.mean()
    ratio = a / b
    if case.goal is None:
        goal, result = "report", "info"
    else:
        goal, result = f"<= {case.goal:.2f}", ("pass" if ratio <= case.goal else "MISS")
    sd = [bench.stdev() if bench.get_nvalue() > 1 else float("nan") for bench in (module, interp)]
    return [case.row, case.sides["module"], case.sides["interp"], case.unit, f"{a * scale:.6g}",
            f"{b * scale:.6g}", f"{ratio:.6f}", goal, result, f"{sd[0] * scale:.6g}", f"{sd[1] * scale:.6g}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", required=True, help="the measured interpreter (runs the import children)")
    parser.add_argument("--package-root", required=True, help="the build tree's python/ directory")
    parser.add_argument("--json-dir", required=True)
    parser.add_argument("--work", required=True, help="scratch directory")
    parser.add_argument("--rows", required=True, help="file for the table rows")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-import", action="store_true")
    parser.add_argument("--only", default="", help="only the cases whose table name contains this")
    args = parser.parse_args()

    cases = [c for c in CASES if args.only in c.row and not (args.no_import and c.name == "import")]
    os.makedirs(args.json_dir, exist_ok=True)
    for side in ("module", "interp"):  # a new run, not runs added to an old one
        path = os.path.join(args.json_dir, f"{side}.json")
        if os.path.exists(path):
            os.remove(path)
    if any(c.name == "import" for c in cases):
        build_trees(args.package_root, args.work)
    with open(os.path.join(args.json_dir, "pyperf.log"), "w") as log:
        for i, case in enumerate(cases):
            # A B B A, A alternating from case to case: a load that changes
            # steadily while the case runs weighs on both sides alike.
            order = ("module", "interp") if i % 2 == 0 else ("interp", "module")
            for side in order if args.quick else order + order[::-1]:
                run_side(case, side, args, log)
            print(f"  measured: {case.row}", file=sys.stderr)
    rows = []
    if cases:
        suites = {side: pyperf.BenchmarkSuite.load(os.path.join(args.json_dir, f"{side}.json"))
                  for side in ("module", "interp")}
        for case in cases:
            rows.append(row(case, suites["module"].get_benchmark(case.name),
                            suites["interp"].get_benchmark(case.name)))
    with open(args.rows, "w") as out:
        out.writelines("\t".join(r) + "\n" for r in rows)


if __name__ == "__main__":
    main()
