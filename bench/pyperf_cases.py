"""The cases that Python code can time, run by pyperf, one case and one side
per run (pyperf_run.py runs them all and makes the table rows):

    python pyperf_cases.py --case NAME --side module|interp [pyperf options]

Both sides of a case run the same loop; only the objects differ. The calls
and the enumerations come from qx_bench_objects (bench/objects_module.cpp),
which must be on sys.path; the import case imports package trees that
pyperf_run.py prepares (--trees).
"""
import subprocess
import sys
from time import perf_counter

import pyperf

UNROLL = 10  # statements per loop iteration in the loops below
NAMES = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday")


def call_one(loops, f, x):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x)
    return perf_counter() - t0


def call_none(loops, f):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        f(); f(); f(); f(); f(); f(); f(); f(); f(); f()
    return perf_counter() - t0


def call_keywords(loops, f):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3)
    return perf_counter() - t0


def by_name(loops, E, k):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]
    return perf_counter() - t0


def by_value(loops, E, v):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v)
    return perf_counter() - t0


# Each child times its own import: the interpreter's start and exit are the
# same for both sides and would only dilute the difference.
CHILD = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
t0 = time.perf_counter_ns()
import quendrix.core.enums.weekdays as m
t1 = time.perf_counter_ns()
assert int(m.Friday) == 6 and len(m.Weekdays) == 7 and m.Weekdays(1) is m.Sunday
print(t1 - t0)
"""


def import_fresh(loops, python, root):
    total = 0
    for _ in range(loops):
        proc = subprocess.run([python, "-I", "-c", CHILD, root], capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            sys.exit(f"pyperf_cases: import child failed ({proc.returncode}) for {root}:\n{proc.stderr}")
        total += int(proc.stdout)
    return total * 1e-9


def objects():
    """The objects of the call and enumeration cases, by name."""
    import qx_bench_objects

    found = qx_bench_objects.objects()

    class K(found["EnumBase"]):
        pass

    for value, name in enumerate(NAMES, 1):
        K(value, name)
    found["K"] = K
    return found


class Case:
    def __init__(self, name, row, module, interp, unit, goal, func, args, options=()):
        self.name = name  # the benchmark's name in pyperf's files
        self.row = row  # the case in the table
        self.sides = {"module": module, "interp": interp}
        self.unit = unit  # "ns/op" or "us"
        self.goal = goal  # largest acceptable ratio; None: reported only
        self.func = func
        self.args = args  # (objects, side) -> the loop's arguments
        self.options = options  # pyperf options for a full run


def _pick(module_key, interp_key, *rest):
    return lambda o, side: (o[module_key if side == "module" else interp_key],) + rest


CASES = [
    Case("import", "import, fresh interpreter", "extension module", "pure Python, .pyc cached", "us", 1.0,
         import_fresh, None, ("--min-time", "0.02")),
    Case("call METH_O f(x)", "call METH_O f(x), Python code", "qx_function_or_method", "builtin_function",
         "ns/op", 1.10, call_one, _pick("qx_o", "builtin_o", 12345)),
    Case("call METH_NOARGS f()", "call METH_NOARGS f(), Python code", "qx_function_or_method",
         "builtin_function", "ns/op", 1.10, call_none, _pick("qx_noargs", "builtin_noargs")),
    Case("call+parse f(1, value=2, name=3)", "call+parse f(1, value=2, name=3), Python code",
         "qx function, UnpackArguments", "builtin, PyArg_ParseTupleAndKeywords", "ns/op", 0.8,
         call_keywords, _pick("qx_unpack", "builtin_parse")),
    Case("enum by name", "enum K[name] vs E[name], Python code", "__Qx_EnumBase K", "IntEnum E", "ns/op",
         1.0, by_name, _pick("K", "Weekdays", "Wednesday")),
    Case("enum by value", "enum K(value) vs E(value), Python code", "__Qx_EnumBase K", "IntEnum E", "ns/op",
         None, by_value, _pick("K", "Weekdays", 4)),
]


def main():
    def pass_on(cmd, args):  # to the worker processes
        cmd.extend(("--case", args.case, "--side", args.side))
        if args.child_python:
            cmd.extend(("--child-python", args.child_python))
        if args.trees:
            cmd.extend(("--trees", args.trees))

    runner = pyperf.Runner(add_cmdline_args=pass_on)
    runner.argparser.add_argument("--case", required=True, choices=[c.name for c in CASES])
    runner.argparser.add_argument("--side", required=True, choices=["module", "interp"])
    runner.argparser.add_argument("--child-python", help="the interpreter whose import is timed")
    runner.argparser.add_argument("--trees", help="the import case's package trees (ext/, pure/)")
    args = runner.parse_args()
    case = next(c for c in CASES if c.name == args.case)
    if case.func is import_fresh:
        if not (args.child_python and args.trees):
            sys.exit("pyperf_cases: the import case needs --child-python and --trees")
        root = f"{args.trees}/{'ext' if args.side == 'module' else 'pure'}"
        runner.bench_time_func(case.name, import_fresh, args.child_python, root)
    else:
        runner.bench_time_func(case.name, case.func, *case.args(objects(), args.side), inner_loops=UNROLL)


if __name__ == "__main__":
    main()
