"""Threads and concurrent imports, under the debug interpreter.

In one interpreter, with the interpreter switching threads as often as it
can (sys.setswitchinterval(1e-6)):
- THREADS threads run, at the same time and for ROUNDS rounds, every
  operation of qx_ops that changes nothing shared; each outcome must be the
  single-threaded one, and each traceback entry the module appends must be
  the one a single thread gets (with or without its implementation-file line:
  another thread flips qx_runtime.impl_line_in_traceback all along);
- meanwhile threads create members of one shared class, with values whose
  comparison runs Python code (so threads switch in the middle of a member
  search), and another thread runs the garbage collector over and over; at
  the end every member is in the class and in its registry exactly once.
Then, for HAMMER_SECONDS, threads replace every replaceable attribute of the
three function objects (__name__, __qualname__, __doc__, __dict__, ...)
while as many others read them, call repr(), bind and call the functions and
raise from them (each failure appends a traceback entry from the shared
code-object cache), with no pause between steps. Under a free-threaded
interpreter this runs truly in parallel; there the import must also have
left the GIL off (sys._is_gil_enabled() False).
Then LOSS_THREADS threads add LOSS_MEMBERS distinct members each to one
class at once, with plain values: every one must be in the registry once,
and an attribute of the class.
Then a fresh interpreter calls, from several threads, the functions of an
import that failed, while another thread retries the import over and over
(RETRY_SECONDS; qx_retries.py): no crash, and every call fails
as it did before.
Then fresh interpreters in which one thread holds what another needs while
the module is in the middle of a member store or of its entry (user code
run by the store, an import lock the entry waits for;
tests/python/qx_hangs.py): nobody may hang.
Then PROCESSES fresh interpreters are started at once, each importing the
module from IMPORTERS threads at once, and from IMPORTERS more threads that
import the moment the module shows in sys.modules (while the first import is
still running its body): every thread gets the same, complete module, and
every interpreter reports the same module.

Usage: threads.py; prints a summary line, then the figures; exits 1 on a
failure.
"""
import gc
import json
import os
import re
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import qx_ops  # noqa: E402
import qx_retries  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
import qx_hangs  # noqa: E402
from qx_ops import facts  # noqa: E402

THREADS = 8
ROUNDS = 4
CREATORS = 4
MEMBERS_PER_CREATOR = 60
LOSS_THREADS = 8
LOSS_MEMBERS = 150
RETRY_SECONDS = 3
PROCESSES = 6
IMPORTERS = 4
HAMMER_SECONDS = float(os.environ.get("QX_HAMMER_SECONDS", "5"))
HAMMER_PAIRS = 2
FREE_THREADED = facts.FREE_THREADED

# Operations that change something other threads see (a function object's
# attributes, the switch, attributes of pickle or of the module, the
# warning filters) run only single-threaded, in the other checks.
_SHARED = re.compile(
    r"^fn\.(attr|name|func_name|qualname|doc|func_doc|dict|defaults|func_defaults|kwdefaults|"
    r"annotations|module)\.|^switch\.|^pickle\.reduce_no_function|^unpickle\.(pickle_unimportable|"
    r"no_pickle_error|error_|checksum_int_subclass_)")

_IMPL = re.compile(r" \(quendrix/core/enums/weekdays(?:\.\w+)?:\d+\)$")


def entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "enumsupport":
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def reference(ops):
    """The outcome of each operation run by one thread, with the switch off
    and on: {name: (entries hidden, entries shown)}."""
    ref = {}
    for shown in (False, True):
        qx_ops.set_switch(shown)
        for op in ops:
            call = op.prepare()
            result, exc = qx_ops.perform(call)
            problem = qx_ops.finish(call, result, exc, op)
            assert problem is None, (op.name, problem)
            ref.setdefault(op.name, [None, None])[shown] = entries(exc) if exc else []
    return ref


def run_operations(ops, ref, barrier, failures, stop):
    barrier.wait()
    for _ in range(ROUNDS):
        for op in ops:
            call = op.prepare()
            result, exc = qx_ops.perform(call)
            problem = qx_ops.finish(call, result, exc, op)
            if problem is None and exc is not None:
                hidden, shown = ref[op.name]
                got = entries(exc)
                if len(got) != len(hidden) or any(
                        g != h and g != s for g, h, s in zip(got, hidden, shown)):
                    problem = f"traceback entries {got}, expected {hidden} or {shown}"
                elif any(g != h and not _IMPL.search(g[0]) for g, h in zip(got, hidden)):
                    problem = f"malformed traceback entries {got}"
            del result, exc, call
            if problem is not None:
                failures.append(f"{op.name}: {problem}")
                if len(failures) > 20:
                    stop.set()
                    return
            if stop.is_set():
                return


class Slow:
    """A value whose comparison runs Python code, so that the interpreter
    may switch threads in the middle of a member search."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, int) and int(other) == self.value

    def __index__(self):
        return self.value

    __hash__ = None


interrupted = []  # member searches that another thread's new member cut short


def create_members(K, tid, barrier, failures, stop):
    barrier.wait()
    base = 1000 * (tid + 1)
    for i in range(MEMBERS_PER_CREATOR):
        name = f"M{tid}_{i}"
        try:
            member = K(base + i, name)
            again = K(Slow(base + i))
        except RuntimeError as exc:
            # The registry is an OrderedDict: a search interrupted by another
            # thread's new member may see it change size, as in Python.
            if "mutated during iteration" not in str(exc) and "changed size" not in str(exc):
                failures.append(f"member {name}: {type(exc).__name__}: {exc}")
            interrupted.append(name)
            continue
        except Exception as exc:  # noqa: BLE001
            failures.append(f"member {name}: {type(exc).__name__}: {exc}")
            continue
        if member != base + i or member.name != name or again is not member:
            failures.append(f"member {name}: got {member!r}, then {again!r}")
        if stop.is_set():
            return


# Function-object attributes flipped between two values by one thread while
# others read them (none of them is one that an operation checks).
_FLIPPED = {
    "__doc__": ("first", "second"),
    "__dict__": ({}, {"k": 1}),
    "__annotations__": ({}, {"a": 1}),
    "__kwdefaults__": (None, {"a": 1}),
    "__module__": ("EnumBase", "elsewhere"),
    "__defaults__": ((None,), (1,)),
}


def flip_function_attributes(stop):
    fns = (qx_ops.Names.new, qx_ops.Names.repr, qx_ops.Names.str)
    while not stop.is_set():
        for fn in fns:
            for attr, values in _FLIPPED.items():
                for value in values:
                    setattr(fn, attr, value)


def read_function_attributes(barrier, failures, stop, reads):
    fns = (qx_ops.Names.new, qx_ops.Names.repr, qx_ops.Names.str)
    barrier.wait()
    for _ in range(ROUNDS * 50):
        for fn in fns:
            for attr, values in _FLIPPED.items():
                value = getattr(fn, attr)
                reads.append(1)
                if value not in values and not (attr == "__defaults__" and value is None):
                    failures.append(f"{fn.__qualname__}.{attr} read as {value!r}")
        if stop.is_set():
            return


def swap_registry(K, registries, stop):
    while not stop.is_set():
        for registry in registries:
            K.__members__ = registry


def use_swapped_registry(K, member, barrier, failures, stop):
    barrier.wait()
    for _ in range(ROUNDS * 200):
        found, item, listed = K(Slow(1)), K["A"], list(K)
        if found is not member or item is not member or listed != [member]:
            failures.append(f"swapped registry: {found!r}, {item!r}, {listed!r}")
        if stop.is_set():
            return


def flip_switch(stop):
    shown = False
    while not stop.is_set():
        shown = not shown
        qx_ops.set_switch(shown)


def collect(stop):
    while not stop.is_set():
        gc.collect()


def threads_check():
    qx_ops.load()
    ops = [op for op in qx_ops.ops() if not _SHARED.search(op.name)]
    ref = reference(ops)
    K = qx_ops.fresh_class()
    S = qx_ops.fresh_class((1, "A"), name="S")
    member = S.A
    registries = [S.__members__, type(S.__members__)([("A", member)])]
    saved = {(fn, attr): getattr(fn, attr) for fn in (qx_ops.Names.new, qx_ops.Names.repr,
                                                       qx_ops.Names.str) for attr in _FLIPPED}

    failures = []
    reads = []
    stop = threading.Event()
    barrier = threading.Barrier(THREADS + CREATORS + 2)
    workers = [threading.Thread(target=run_operations, args=(ops, ref, barrier, failures, stop))
               for _ in range(THREADS)]
    workers += [threading.Thread(target=create_members, args=(K, t, barrier, failures, stop))
                for t in range(CREATORS)]
    workers += [threading.Thread(target=read_function_attributes,
                                 args=(barrier, failures, stop, reads)),
                threading.Thread(target=use_swapped_registry,
                                 args=(S, member, barrier, failures, stop))]
    helpers = [threading.Thread(target=flip_switch, args=(stop,)),
               threading.Thread(target=collect, args=(stop,)),
               threading.Thread(target=flip_function_attributes, args=(stop,)),
               threading.Thread(target=swap_registry, args=(S, registries, stop))]
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in helpers + workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        stop.set()
        for t in helpers:
            t.join()
        sys.setswitchinterval(old_interval)
        for (fn, attr), value in saved.items():
            setattr(fn, attr, value)

    created = [name for name in K.__members__]
    if len(created) != len(set(created)):
        failures.append("a member name is in the registry twice")
    for name, member in K.__members__.items():
        if getattr(K, name) is not member or member.name != name:
            failures.append(f"member {name} is inconsistent")
    if list(K) != list(K.__members__.values()):
        failures.append("iteration disagrees with the registry")
    qx_ops.sanity()
    calls = THREADS * ROUNDS * len(ops)
    figure = (f"{THREADS} threads x {ROUNDS} rounds x {len(ops)} operations = {calls} calls; "
              f"{CREATORS} threads creating {len(created)} members of one class "
              f"({CREATORS * MEMBERS_PER_CREATOR} attempted, {len(interrupted)} searches cut "
              f"short by another thread's member); {len(reads)} reads of function attributes "
              f"that another thread flips; lookups through a registry another thread swaps; "
              f"the traceback switch flipped and the collector run all along; "
              f"switch interval 1e-6 s")
    return f"{calls} calls from {THREADS} threads", figure, failures


# ---------------------------------------------------------------------------
# Attributes replaced while other threads read them, all at full speed.

# Each store is a fresh object (constants may be immortal, and replacing one
# frees nothing): a reader must see a value of the right kind, or the value
# saved before the run, or (for the deletable ones) the default.
_HAMMERED = {
    "__name__": (lambda i: f"n{i}", lambda v: v.startswith("n")),
    "__qualname__": (lambda i: f"q{i}", lambda v: v.startswith("q")),
    "__doc__": (lambda i: f"d{i}", lambda v: v is None or v.startswith("d")),
    "__module__": (lambda i: f"m{i}", lambda v: v is None or v.startswith("m")),
    "__dict__": (lambda i: {"i": i}, lambda v: type(v) is dict),
    "__defaults__": (lambda i: (i,), lambda v: v is None or type(v) is tuple),
    "__kwdefaults__": (lambda i: {"k": i}, lambda v: v is None or type(v) is dict),
    "__annotations__": (lambda i: {"r": i}, lambda v: type(v) is dict),
}
_DELETABLE = ("__doc__", "__module__", "__annotations__", "__defaults__", "__kwdefaults__")


def hammer_set(fns, deadline, counts):
    n = 0
    while time.monotonic() < deadline:
        for _ in range(100):
            n += 1
            for fn in fns:
                for attr, (make, _) in _HAMMERED.items():
                    setattr(fn, attr, make(n))
        for fn in fns:
            for attr in _DELETABLE:
                delattr(fn, attr)
    counts.append(n * len(fns) * len(_HAMMERED))


def hammer_read(fns, saved, member, deadline, failures, counts):
    n = 0
    while time.monotonic() < deadline and len(failures) < 20:
        for _ in range(100):
            n += 1
            for fn in fns:
                for attr, (_, valid) in _HAMMERED.items():
                    value = getattr(fn, attr)
                    if not valid(value) and value != saved[fn, attr]:
                        failures.append(f"{attr} read as {value!r}")
                text = repr(fn)
                if not text.startswith("<qxfunction ") or not text.endswith(f" at 0x{id(fn):x}>"):
                    failures.append(f"repr {text!r}")
                fn.__reduce__()
                fn.__get__(member, type(member))
        # The functions themselves, failing and not: each failure appends a
        # traceback entry through the shared code-object cache.
        if repr(member) != "<S.A: 1>" or qx_ops.Names.repr(member) != "<S.A: 1>":
            failures.append(f"repr of a member: {member!r}")
        try:
            qx_ops.Names.repr(member, 2)
        except TypeError:
            pass
        try:
            qx_ops.Names.unpickle(int, 1, None)
        except Exception as exc:  # noqa: BLE001 - any failure is one entry
            if not entries(exc):
                failures.append("a failure without its traceback entry")
    counts.append(n)


def hammer_check():
    qx_ops.load()
    failures = []
    if FREE_THREADED and facts.gil_enabled() and os.environ.get("PYTHON_GIL") != "0":
        failures.append("importing the module turned the GIL on")
    fns = (qx_ops.Names.new, qx_ops.Names.repr, qx_ops.Names.str)
    saved = {(fn, attr): getattr(fn, attr) for fn in fns for attr in _HAMMERED}
    member = qx_ops.fresh_class((1, "A"), name="S").A
    sets, reads = [], []
    deadline = time.monotonic() + HAMMER_SECONDS
    threads = [threading.Thread(target=hammer_set, args=(fns, deadline, sets))
               for _ in range(HAMMER_PAIRS)]
    threads += [threading.Thread(target=hammer_read, args=(fns, saved, member, deadline, failures, reads))
                for _ in range(HAMMER_PAIRS)]
    threads.append(threading.Thread(target=lambda: [gc.collect() for _ in iter(
        lambda: time.monotonic() < deadline, False)]))
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
        for (fn, attr), value in saved.items():
            setattr(fn, attr, value)
    qx_ops.sanity()
    gil = "GIL on" if facts.gil_enabled() else "GIL off"
    figure = (f"{HAMMER_PAIRS} threads replacing {len(_HAMMERED)} attributes of 3 function "
              f"objects ({sum(sets)} stores) while {HAMMER_PAIRS} read them, repr, bind and call "
              f"({sum(reads)} rounds over the 3), for {HAMMER_SECONDS:g} s, {gil}")
    return f"{sum(sets)} stores against {sum(reads)} read rounds ({gil})", figure, failures


# ---------------------------------------------------------------------------
# Members added to one class from many threads at once, none lost.

def add_members(K, tid, barrier, failures, refused):
    barrier.wait()
    for i in range(LOSS_MEMBERS):
        name = f"L{tid}_{i}"
        try:
            K(1 + tid * LOSS_MEMBERS + i, name)
        except Exception as exc:  # noqa: BLE001
            refused.append(name)
            if len(refused) <= 5:
                failures.append(f"member {name}: {type(exc).__name__}: {exc}")


def lost_members_check():
    qx_ops.load()
    K = qx_ops.fresh_class()
    failures, refused = [], []
    barrier = threading.Barrier(LOSS_THREADS)
    threads = [threading.Thread(target=add_members, args=(K, t, barrier, failures, refused), daemon=True)
               for t in range(LOSS_THREADS)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 120
    for t in threads:
        t.join(max(0, deadline - time.monotonic()))
    if any(t.is_alive() for t in threads):
        return "members added at once", "", failures + ["a thread adding members is stuck"]
    expected = {f"L{t}_{i}" for t in range(LOSS_THREADS) for i in range(LOSS_MEMBERS)}
    names = list(K.__members__)
    if refused:
        failures.append(f"{len(refused)} of {len(expected)} members refused")
    lost = expected - set(names) - set(refused)
    if lost:
        failures.append(f"{len(lost)} of {len(expected)} members lost from the registry: {sorted(lost)[:5]}")
    if len(names) != len(set(names)):
        failures.append(f"{len(names) - len(set(names))} names in the registry twice")
    if set(names) - expected:
        failures.append(f"unexpected names in the registry: {sorted(set(names) - expected)[:5]}")
    wrong = [n for n in set(names) & expected if getattr(K, n, None) is not K.__members__[n]]
    if wrong:
        failures.append(f"{len(wrong)} members are not the class's attributes: {wrong[:5]}")
    figure = (f"{LOSS_THREADS} threads adding {LOSS_MEMBERS} distinct members each to one class "
              f"at once: {len(names)} of {len(expected)} in its registry")
    return f"{len(names)} members from {LOSS_THREADS} threads", figure, failures


# ---------------------------------------------------------------------------
# A failed import's functions called while the import is retried.

def retry_check():
    try:
        proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", qx_retries.source(RETRY_SECONDS)],
                              capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return "retries", "", ["the interpreter retrying the import hung"]
    failures = []
    if proc.returncode != 0:
        failures.append(f"the interpreter retrying the import failed ({proc.returncode}): "
                        f"{proc.stderr.strip().splitlines()[-3:]}")
    figures = proc.stdout.strip().splitlines()[-1:] or ["no figures"]
    figure = (f"{figures[0]} from 3 threads calling the functions of a failed import while "
              f"another retries it, for {RETRY_SECONDS} s")
    return figures[0].split(",")[0], figure, failures


def hang_check():
    """User code that a member store runs, and an import lock that the
    entry waits for, each held up by another thread (tests/python/qx_hangs.py):
    a hang is the fault."""
    cases = [(f"registry {key}", qx_hangs.registry_wait_source(*case), (), None)
             for key, case in qx_hangs.REGISTRY_CASES.items()]
    cases += [(f"entry by {road}", qx_hangs.entry_source(road), ("-S",), qx_hangs.judge_entry)
              for road in qx_hangs.ROADS]
    failures = []
    for label, source, args, judge in cases:
        try:
            proc = subprocess.run([sys.executable, "-X", "faulthandler", *args, "-c", source],
                                  capture_output=True, text=True, timeout=120)
        except subprocess.TimeoutExpired:
            failures.append(f"{label}: hung")
            continue
        if proc.returncode != 0:
            failures.append(f"{label}: failed ({proc.returncode}): {proc.stderr.strip().splitlines()[-3:]}")
        elif judge is not None and (wrong := judge(proc.stdout)) is not None:
            failures.append(f"{label}: {wrong}")
    return (f"{len(cases)} cases of user code or import locks held up", f"{len(cases)} hang cases: "
            + ", ".join(label for label, *_ in cases), failures)


# ---------------------------------------------------------------------------
# Fresh interpreters importing at once.

_IMPORT_CHILD = """
import json, sys, threading
sys.setswitchinterval(1e-6)
name = "quendrix.core.enums.weekdays"
barrier = threading.Barrier({importers})
got = [None] * {importers}
late = []
def run(i):
    barrier.wait()
    import quendrix.core.enums.weekdays as w
    got[i] = w
def run_late():
    # Imports the moment the module shows in sys.modules, which is while the
    # first import is still running its body.
    while name not in sys.modules:
        pass
    import quendrix.core.enums.weekdays as w
    late.append(hasattr(w, "Weekdays") and hasattr(w, "Saturday"))
threads = [threading.Thread(target=run_late) for _ in range({importers})]
threads += [threading.Thread(target=run, args=(i,)) for i in range({importers})]
for t in threads: t.start()
for t in threads: t.join()
w = got[0]
assert all(m is w for m in got), got
assert late == [True] * {importers}, late
try:
    w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
except Exception as exc:
    message = type(exc).__name__ + ": " + str(exc)
print(json.dumps({{
    "same": all(m is w for m in got),
    "members": [(m.name, m.value) for m in w.Weekdays],
    "names": [k for k in vars(w) if k not in ("__loader__", "__spec__", "__file__")],
    "bound": all(getattr(w, m.name) is m for m in w.Weekdays),
    "unpickle": message,
}}))
"""


def processes_check():
    source = _IMPORT_CHILD.format(importers=IMPORTERS)
    procs = [subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", source],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(PROCESSES)]
    reports, failures = [], []
    for proc in procs:
        out, err = proc.communicate(timeout=300)
        if proc.returncode != 0:
            failures.append(f"an importing interpreter failed ({proc.returncode}): "
                            f"{err.strip().splitlines()[-1:]}")
            continue
        reports.append(json.loads(out.strip().splitlines()[-1]))
    if reports and any(r != reports[0] for r in reports):
        failures.append("the interpreters disagree about the module")
    if reports and not reports[0]["same"]:
        failures.append("threads of one interpreter got different modules")
    if reports and [m for m, _ in reports[0]["members"]] != [
            "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]:
        failures.append(f"wrong members: {reports[0]['members']}")
    figure = (f"{PROCESSES} fresh interpreters started at once, each importing from "
              f"{IMPORTERS} threads at once and {IMPORTERS} more that import while the first "
              f"import is still running: {len(reports)} consistent reports")
    return f"{PROCESSES} interpreters importing at once", figure, failures


def main():
    shorts, figures, failures = [], [], []
    for check in (threads_check, hammer_check, lost_members_check):
        try:
            short, figure, found = check()
            shorts.append(short)
            figures.append(figure)
            failures += found
        except Exception:  # noqa: BLE001 - reported as a failure of the check
            failures.append(traceback.format_exc())
    for check in (retry_check, hang_check, processes_check):
        short, figure, found = check()
        shorts.append(short)
        figures.append(figure)
        failures += found
    print(f"threads: {', '.join(shorts)}; {len(failures)} failures")
    print(f"  interpreter: {sys.executable}")
    for line in figures:
        print("  " + line)
    for line in failures:
        print("  FAILURE", line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
