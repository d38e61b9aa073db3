"""Allocation-failure sweep, with _testcapi.set_nomemory(n, n + 1): the n-th
allocation (counted from 0) fails, every other one succeeds. Run under a
debug interpreter, or under a release one (which keeps no reference total:
there the check for what a failed call leaves behind counts memory blocks
only).

For the import (each n in a fresh interpreter) and for every operation of
qx_ops (in-process, with qx_runtime.impl_line_in_traceback false and then
true), n runs 0, 1, 2, ... until the failure is no longer reached: the
operation made fewer than n + 1 allocations. The number of allocation points
reported is that n. Each outcome must be the operation's normal one (its
result checked where it has a check) or MemoryError: never a crash, a failed
assertion of the debug interpreter, a SystemError, or a success that did not
do its work. After each failed attempt the operation runs again with
allocations enabled, and a short tour of the module, both must behave.

Whether the n-th allocation was reached is told by a probe that runs right
after the operation, still under the hook: it makes more than n allocations
of its own, so it raises MemoryError exactly when the failure is still
pending.

Only the module's own work runs while allocations fail:
- the operation is called directly from the sweeping frame, whose frame
  object exists (see qx_ops._keep_frame);
- the import is made by calling the entry point itself (ctypes), not through
  the import system, with the standard modules it uses imported beforehand
  and the names its relative imports try set to None in sys.modules (so each
  relative attempt fails at once with ModuleNotFoundError, as it would after
  a search, and the module goes on with the absolute import);
- the call of IntEnum (the interpreter's enum code, hundreds of allocations
  in Python code) runs with allocations enabled: the import is swept in two
  phases, the allocations before that call (phase A) and after it (phase B).
The interpreter 3.11 has faults of its own on those paths under allocation
failure (its stat() result, frame objects made while an exception
propagates, a module table entry removed with an error set); they are not
the module's, and the sweep keeps clear of them.

Usage: nomemory.py (runs everything; prints a summary line, then the figures,
what was left out and why, and the allocation points of each operation;
exits 1 on a fault).
"""
import concurrent.futures
import gc
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import qx_ops  # noqa: E402
from qx_ops import facts  # noqa: E402

NAME = qx_ops.NAME
RELATIVE = ("collections", "enum", "pickle")
_OBJECT = object


def _probe(n):
    """True when the pending allocation failure has been used up."""
    try:
        # Each object is an allocation, freed at once. Not kept in a list:
        # when a growing list fails to grow, 3.14 and 3.15 free the item in
        # the middle of the append, which their debug builds abort on.
        for _ in range(n + 2):
            _OBJECT()
    except MemoryError:
        return False
    return True


def _describe(exc):
    return "success" if exc is None else f"{type(exc).__name__}: {str(exc)[:120]}"


# ---------------------------------------------------------------------------
# The import, in a fresh interpreter per n.

def _without_relative_search():
    import collections  # noqa: F401
    import enum  # noqa: F401
    import pickle  # noqa: F401
    import warnings  # noqa: F401
    import quendrix.core.enums  # noqa: F401
    for name in RELATIVE:
        sys.modules[f"quendrix.core.enums.{name}"] = None


def _prepare_import():
    import ctypes
    import importlib.util
    found = importlib.util.find_spec(NAME)
    _without_relative_search()
    qx_ops.keep_import_lock()
    init = ctypes.PyDLL(found.origin).PyInit_weekdays
    init.restype = ctypes.py_object
    init.argtypes = []
    return init


def _restore_relative():
    for name in RELATIVE:
        del sys.modules[f"quendrix.core.enums.{name}"]


# Where the interpreter cannot ready a static type again once its readying
# failed (it crashes), the module refuses later imports instead: after a
# failure inside PyType_Ready, that refusal is the right outcome.
READY_REFUSED = "could not be made ready earlier in this process"
TYPE_READY_RETRYABLE = not facts.READIES_STATIC_TYPE_ONCE


REFUSALS = []


def _ready_refused(exc):
    refused = (not TYPE_READY_RETRYABLE and isinstance(exc, ImportError)
               and READY_REFUSED in str(exc))
    if refused:
        REFUSALS.append(True)
    return refused


def _check_import_works(failed):
    """After a failed attempt the module is not registered, and a normal
    import then succeeds and works."""
    if failed and NAME in sys.modules:
        return "a failed initialisation left the module in sys.modules"
    try:
        qx_ops.load(collect=failed)
        gc.enable()
        qx_ops.sanity()
    except Exception as exc:  # noqa: BLE001 - reported, not a crash of the sweep
        if _ready_refused(exc):
            return None
        return f"the import that follows fails: {_describe(exc)}"
    if [m.value for m in qx_ops.Names.module.Weekdays] != list(range(1, 8)):
        return "Weekdays is wrong after the retry"
    return None


def child_import(phase, n):
    import _testcapi
    import enum
    init = _prepare_import()
    real_int_enum = enum.IntEnum
    a_pending = [False]

    def int_enum(*args, **kwargs):
        sys._getframe()
        if phase == "A":
            a_pending[0] = not _probe(n)
            _testcapi.remove_mem_hooks()
            return real_int_enum(*args, **kwargs)
        result = real_int_enum(*args, **kwargs)
        _testcapi.set_nomemory(n, n + 1)
        return result

    enum.IntEnum = int_enum
    gc.disable()
    slot = [None, None]
    sys._getframe()
    if phase == "A":
        _testcapi.set_nomemory(n, n + 1)
    try:
        slot[0] = init()
    except BaseException as exc:  # noqa: BLE001
        slot[1] = exc
    reached = _probe(n) if phase == "B" else not a_pending[0]
    _testcapi.remove_mem_hooks()
    enum.IntEnum = real_int_enum
    _restore_relative()
    exc = slot[1]
    slot[0] = slot[1] = None
    problem = None
    if exc is not None and type(exc) is not MemoryError and not _ready_refused(exc):
        problem = f"import raised {_describe(exc)}"
    if problem is None:
        problem = _check_import_works(exc is not None)
    print(json.dumps({"reached": reached, "problem": problem, "refused": bool(REFUSALS)}))


def child_retry(phases):
    """The import's failure-and-retry path: in one interpreter, n runs up
    while every attempt fails (at the failing allocation, or else at a step
    made to fail after it), each attempt starting from what the previous
    failed one left. Phase A makes IntEnum fail, phase B gives the module an
    enumeration without its last member. A refusal ends the run: "refused"
    names the phase."""
    import _testcapi
    import enum
    import types
    init = _prepare_import()
    real_int_enum = enum.IntEnum
    counts = {}
    problems = []
    refused = None
    gc.disable()
    sys._getframe()
    for phase in phases:
        if refused:
            break
        n = 0
        while len(problems) < 3:  # a fault that repeats would repeat for every n
            state = [False, None, None]

            def int_enum(*args, **kwargs):
                sys._getframe()
                if phase == "A":
                    state[0] = not _probe(n)
                    _testcapi.remove_mem_hooks()
                    raise LookupError("IntEnum made to fail")
                real = real_int_enum(*args, **kwargs)
                result = types.SimpleNamespace(
                    **{m.name: m for m in real if m.name != "Saturday"})
                _testcapi.set_nomemory(n, n + 1)
                return result

            enum.IntEnum = int_enum
            if phase == "A":
                _testcapi.set_nomemory(n, n + 1)
            try:
                state[1] = init()
            except BaseException as exc:  # noqa: BLE001
                state[2] = exc
            reached = _probe(n) if phase == "B" else not state[0]
            _testcapi.remove_mem_hooks()
            exc = state[2]
            expected = LookupError if phase == "A" else AttributeError
            if _ready_refused(exc):
                # A type's readying failed at this n; from 3.13 on the module
                # refuses every later attempt, so the retries end here.
                counts[phase] = n
                refused = phase
                break
            if exc is None:
                problems.append(f"retry phase {phase} n={n}: succeeded")
                break
            if type(exc) not in (MemoryError, expected):
                problems.append(f"retry phase {phase} n={n}: {_describe(exc)}")
            if NAME in sys.modules:
                problems.append(f"retry phase {phase} n={n}: module left registered")
                break
            state = exc = None
            gc.collect()
            if not reached:
                counts[phase] = n
                break
            n += 1
    enum.IntEnum = real_int_enum
    _restore_relative()
    problem = _check_import_works(True)
    if problem:
        problems.append(problem)
    print(json.dumps({"counts": counts, "problems": problems, "refused": refused}))


def child_fresh(op_name, switch, n):
    """One operation in a fresh interpreter, where what it makes on first
    use (a traceback entry's code object, a function's name or dictionary)
    is still to be made."""
    import _testcapi
    qx_ops.load()
    _without_relative_search()
    op = {o.name: o for o in qx_ops.ops()}[op_name]
    if switch != "absent":
        qx_ops.set_switch(switch == "true")
    call = op.prepare()
    fn, args, kwargs = call.fn, call.args, call.kwargs
    gc.disable()
    slot = [None, None]
    sys._getframe()
    _testcapi.set_nomemory(n, n + 1)
    try:
        if kwargs:
            slot[0] = fn(*args, **kwargs)
        else:
            slot[0] = fn(*args)
    except BaseException as exc:  # noqa: BLE001
        slot[1] = exc
    reached = _probe(n)
    _testcapi.remove_mem_hooks()
    result, exc = slot
    slot[0] = slot[1] = None
    problem = _judge(op, call, result, exc)
    if problem is None:
        problem = _recheck(op)
    print(json.dumps({"reached": reached, "problem": problem}))


# ---------------------------------------------------------------------------
# Operations, in-process.

def _judge(op, call, result, exc):
    """The outcome of an attempt: None when acceptable. Runs the cleanup."""
    problem = None
    if exc is None:
        if op.outcome is not None:
            problem = f"succeeded, expected {op.outcome.__name__}"
        elif call.check is not None and not call.check(result):
            problem = f"reported success without doing its work: {result!r}"
    elif (type(exc) is not MemoryError and type(exc) is not op.outcome
          and type(exc) not in op.converted):
        problem = f"raised {_describe(exc)}"
    if call.cleanup is not None:
        call.cleanup()
    return problem


def _recheck(op):
    """The operation and the module, with allocations enabled again."""
    call = op.prepare()
    result, exc = qx_ops.perform(call)
    problem = qx_ops.finish(call, result, exc, op)
    if problem is not None:
        return f"afterwards, with memory again: {problem}"
    try:
        qx_ops.sanity()
    except AssertionError as failure:
        return f"afterwards the module misbehaves: {failure}"
    return None


def _has_module_entry(exc):
    tb = exc.__traceback__ if exc is not None else None
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "enumsupport":
            return True
        tb = tb.tb_next
    return False


def attempt(op, n, progress, inside=None):
    """One call of the operation with the n-th allocation failing. Returns
    (reached, problem, failed): whether the failure was reached, what is
    wrong with the outcome (None when nothing), and whether the outcome was
    a failure other than the operation's normal one. inside[0] is set to
    whether the failure came through one of the module's functions (its
    exception carries a traceback entry of the module)."""
    import _testcapi
    sys._getframe()  # see qx_ops._keep_frame
    slot = [None, None]
    call = op.prepare()
    fn, args, kwargs = call.fn, call.args, call.kwargs
    os.write(progress, f"{op.name} {n}\n".encode())
    _testcapi.set_nomemory(n, n + 1)
    try:
        if kwargs:
            slot[0] = fn(*args, **kwargs)
        else:
            slot[0] = fn(*args)
    except BaseException as exc:  # noqa: BLE001
        slot[1] = exc
    reached = _probe(n)
    _testcapi.remove_mem_hooks()
    result, exc = slot
    slot[0] = slot[1] = None
    fn = args = kwargs = None
    problem = _judge(op, call, result, exc)
    failed = exc is not None and type(exc) is not op.outcome
    if inside is not None:
        inside[0] = _has_module_entry(exc)
    return reached, problem, failed


# Debug builds only; a release build counts no references.
_TOTAL_REFS = getattr(sys, "gettotalrefcount", lambda: 0)


def _counts():
    facts.clear_type_cache()
    gc.collect()
    return _TOTAL_REFS(), sys.getallocatedblocks()


def _left_behind(run, *args):
    """References and memory blocks that run(*args) leaves behind."""
    # The frame object first: the interpreter makes a caller's frame object
    # when it links a callee's frame object to it, which would otherwise
    # happen in the middle of the measurement.
    sys._getframe()
    refs, blocks = _counts()
    run(*args)
    refs_after, blocks_after = _counts()
    return refs_after - refs, blocks_after - blocks


def _nothing(op, n, progress, inside):
    inside[0] = False
    return False, None, False


_HARNESS = None  # what _left_behind itself accounts for, measured once


def _leak_after_failure(op, n, progress):
    """The same failing call twice more, each after a collection (which
    refills the interpreter's free lists, and so decides which allocation is
    the n-th): the first makes whatever is made once, and nothing the second
    made may be left behind. When the second leaves something, a third
    decides: the first can move the n-th allocation (by what it made once),
    so the second may fail at a site reached for the first time, which makes
    its own things once (its traceback entry's code object, seen on 3.14),
    while a leak leaves something behind at every repetition.

    Counted only when the failure came through the module's own functions:
    the interpreter 3.11 itself leaves objects behind when some of its
    allocations fail (a class whose creation fails in type.__new__, before
    the metaclass initialiser runs; dir() of any function; ctypes' result
    conversion), and those failures reach the caller without an entry of the
    module. What is freed (a negative count: caches the warning machinery
    drops) is no leak."""
    global _HARNESS
    inside = [False]
    if _HARNESS is None:
        _HARNESS = _left_behind(_nothing, op, n, progress, inside)
    _left_behind(attempt, op, n, progress, inside)
    for _ in range(2):
        refs, blocks = _left_behind(attempt, op, n, progress, inside)
        refs -= _HARNESS[0]
        blocks -= _HARNESS[1]
        if not (inside[0] and (refs > 0 or blocks > 0)):
            return None
    return f"the failed call leaves {refs} references and {blocks} memory blocks behind"


def _interpreter_faults():
    """(operation, n) -> why: allocation failures that the interpreter itself
    does not survive, left out of the sweep. Not the module's: the same
    failure in a statement of plain Python classes does the same."""
    faults = {}
    if not facts.CLASS_STATEMENT_SURVIVES_FAILED_ALLOCATION:
        # Seen in 3.12.1 and 3.13.0 (not in 3.14 and 3.15): with the 2nd
        # allocation of a class statement failed (a MemoryError, as it
        # should), the next class statement runs on a corrupt frame:
        # TypeError "type __qualname__ must be a str, not tuple", or a crash.
        faults[("meta.create_statement", 1)] = "a class statement's 2nd allocation"
    return faults


INTERPRETER_FAULTS = _interpreter_faults()


def sweep(op, progress):
    """Returns (allocation points, problems)."""
    problems = []
    first = _recheck(op)
    if first is not None:
        return 0, [f"without any failure: {first}"]
    n = 0
    while True:
        if (op.name, n) in INTERPRETER_FAULTS:
            n += 1
            continue
        reached, problem, failed = attempt(op, n, progress)
        if problem is None and failed:
            problem = _recheck(op)
            if problem is None:
                problem = _leak_after_failure(op, n, progress)
        if problem is not None:
            problems.append(f"n={n}: {problem}")
        if not reached or len(problems) >= 3:
            return n, problems
        n += 1


def child_ops(start, end, switch, progress_path):
    qx_ops.load()
    _without_relative_search()
    ops = qx_ops.ops()[start:end]
    qx_ops.set_switch(switch == "true")
    progress = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    gc.disable()
    for op in ops:
        points, problems = sweep(op, progress)
        qx_ops.set_switch(switch == "true")
        gc.collect()
        print(json.dumps({"op": op.name, "points": points, "problems": problems}), flush=True)
    os.close(progress)


# ---------------------------------------------------------------------------
# The parent: runs the children on every core and gathers the figures.

def _env():
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"  # the same allocations in every fresh interpreter
    env.pop("PYTHONMALLOC", None)
    return env


def _run(args, timeout=600):
    command = [sys.executable, "-X", "faulthandler", __file__, *args]
    try:
        return subprocess.run(command, capture_output=True, text=True, env=_env(), timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        def text(value):
            return value.decode(errors="replace") if isinstance(value, bytes) else (value or "")
        return subprocess.CompletedProcess(command, "timeout", text(exc.stdout),
                                           text(exc.stderr) + f"\n(no result after {timeout} s)")


def _crash_text(proc):
    tail = "\n      ".join((proc.stderr or "").strip().splitlines()[-6:])
    return f"exit status {proc.returncode}:\n      {tail}"


# What the sweep met and accepts, reported once with the reason:
# reason -> label -> the n of each attempt.
EXPECTED = {}
CRASHED_READYING = ("the interpreter itself crashed (3.13 crashes on some failed allocations "
                    "inside PyType_Ready, its dictionary growth, next to those where the "
                    "readying fails cleanly; not the module's, left out)")
REFUSED_READYING = ("the import was refused after a type's readying failed (from 3.13 a static "
                    "type cannot be readied again, so the module refuses later imports: the "
                    "right outcome)")


def _expected(reason, label, n):
    EXPECTED.setdefault(reason, {}).setdefault(label, []).append(n)


def _ranges(numbers):
    """[1, 2, 3, 5] -> "1-3, 5"."""
    runs = []
    for n in sorted(numbers):
        if runs and n == runs[-1][1] + 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def _sweep_fresh(pool, workers, args_for, label):
    """Runs the child for n = 0, 1, ... (a batch at a time, on every core)
    until the failure is no longer reached. Returns (points, problems).

    A crash is the interpreter's own (CRASHED_READYING) when it lies within
    a run of failures inside a type's readying: next to an n whose import
    was refused for it, or to another such crash. Its crashes there are not
    deterministic (3.13.0 crashes at an n in some runs and completes it in
    others), so both neighbours count, and crashes are judged once the sweep
    is over."""
    problems = []
    refused = set()
    crashes = {}
    n = 0
    end = None
    # A sweep where most attempts fail stops early, as its problems show.
    while end is None and len(problems) + sum(k - 1 not in refused and k + 1 not in refused
                                              for k in crashes) <= 10:
        batch = list(range(n, n + 2 * workers))
        procs = list(pool.map(lambda k: _run(args_for(k)), batch))
        for k, proc in zip(batch, procs):
            if proc.returncode != 0:
                crashes[k] = proc
                continue
            out = json.loads(proc.stdout.strip().splitlines()[-1])
            if out.get("refused"):
                refused.add(k)
                _expected(REFUSED_READYING, label, k)
            if out["problem"]:
                problems.append(f"{label} n={k}: {out['problem']}")
            if not out["reached"] and end is None:
                end = k
        n += len(batch)
    readying = set(refused)
    grew = True
    while grew:
        grew = False
        for k in sorted(crashes):
            if k not in readying and (k - 1 in readying or k + 1 in readying):
                readying.add(k)
                grew = True
    for k, proc in sorted(crashes.items()):
        if k in readying:
            _expected(CRASHED_READYING, label, k)
        else:
            problems.append(f"{label} n={k}: {_crash_text(proc)}")
    return end, problems


FRESH_OPS = (
    ("fn.repr.read.__name__", "false"),
    ("fn.repr.read.__dict__", "false"),
    ("base.repr_no_name", "absent"),
    ("base.repr_no_name", "true"),
    ("unpickle.wrong_checksum", "absent"),
)


def _sweep_retry(problems, figures):
    """The failure-and-retry path, both phases in one interpreter; when the
    first ends in a refusal, the second in an interpreter of its own.
    Returns the points of each phase."""
    counts = {}
    for phases in ("AB", "B"):
        proc = _run(["retry", phases])
        if proc.returncode != 0:
            problems.append(f"retry {phases}: {_crash_text(proc)}")
            break
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        problems += out["problems"]
        counts.update(out["counts"])
        if out["refused"]:
            _expected(REFUSED_READYING, f"retry phase {out['refused']}", counts[out["refused"]])
        if "B" in counts:
            break
    figures.append(f"import failing and retried in one interpreter: {counts.get('A')} allocation "
                   f"points before the IntEnum call + {counts.get('B')} after it"
                   + (" (those after it in a second interpreter: the first refuses every "
                      "import once a type's readying failed)" if phases == "B" else ""))
    return counts


def main():
    workers = max(2, os.cpu_count() or 2)
    problems = []
    figures = []
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        import_points = {}
        for phase in ("A", "B"):
            points, found = _sweep_fresh(pool, workers, lambda k, p=phase: ["import", p, str(k)],
                                         f"import phase {phase}")
            import_points[phase] = points
            problems += found
        figures.append(f"import in a fresh interpreter: {import_points['A']} allocation points "
                       f"before the IntEnum call + {import_points['B']} after it")

        retry_points = _sweep_retry(problems, figures)

        fresh = []
        for op_name, switch in FRESH_OPS:
            points, found = _sweep_fresh(
                pool, workers, lambda k, o=op_name, s=switch: ["fresh", o, s, str(k)],
                f"{op_name} (fresh, switch {switch})")
            problems += found
            fresh.append(f"{op_name} [switch {switch}] {points}")
        figures.append("first use in a fresh interpreter: " + "; ".join(fresh))

        qx_ops.load()
        names = [op.name for op in qx_ops.ops()]
        chunks = []
        size = max(1, len(names) // (2 * workers))
        for switch in ("false", "true"):
            for start in range(0, len(names), size):
                chunks.append((start, min(start + size, len(names)), switch))

        def run_chunk(chunk):
            start, end, switch = chunk
            with tempfile.NamedTemporaryFile(prefix="qx-nomemory-", delete=False) as f:
                path = f.name
            try:
                proc = _run(["ops", str(start), str(end), switch, path])
                with open(path) as f:
                    lines = f.read().splitlines()
            finally:
                os.unlink(path)
            return chunk, proc, lines[-1] if lines else "(before the first attempt)"

        points = {}
        for (start, end, switch), proc, last in pool.map(run_chunk, chunks):
            for line in proc.stdout.splitlines():
                out = json.loads(line)
                points.setdefault(out["op"], {})[switch] = out["points"]
                problems += [f"{out['op']} (switch {switch}) {p}" for p in out["problems"]]
            if proc.returncode != 0:
                problems.append(f"operations {start}..{end} (switch {switch}) crashed at "
                                f"{last}: {_crash_text(proc)}")

    swept = [n for n in names if len(points.get(n, {})) == 2]
    total = sum(sum(points[n].values()) for n in swept)
    print(f"allocation-failure sweep: {len(swept)} operations x 2 switch settings, {total} "
          f"allocation points; import {import_points['A']} + {import_points['B']} (retried: "
          f"{retry_points.get('A')} + {retry_points.get('B')}); {len(problems)} faults")
    print(f"  interpreter: {sys.executable}, Python {sys.version.split()[0]}")
    for line in figures:
        print("  " + line)
    for (op_name, n), why in sorted(INTERPRETER_FAULTS.items()):
        print(f"  left out, the interpreter's own fault: {op_name} n={n} ({why})")
    for reason, attempts in EXPECTED.items():
        where = "; ".join(f"{label} n={_ranges(ns)}" for label, ns in attempts.items())
        print(f"  expected, {sum(map(len, attempts.values()))} attempts: {reason}: {where}")
    print("  allocation points per operation (switch false/true):")
    cells = [f"{n} {points[n]['false']}/{points[n]['true']}" for n in swept]
    width = max(map(len, cells)) + 2 if cells else 0
    for i in range(0, len(cells), 3):
        print("    " + "".join(c.ljust(width) for c in cells[i:i + 3]).rstrip())
    for line in problems:
        print("  FAULT", line)
    if len(swept) != len(names):
        print(f"  FAULT only {len(swept)} of {len(names)} operations were swept")
        return 1
    return 1 if problems else 0


if __name__ == "__main__":
    mode = sys.argv[1] if len(sys.argv) > 1 else "all"
    if mode == "import":
        child_import(sys.argv[2], int(sys.argv[3]))
    elif mode == "retry":
        child_retry(sys.argv[2])
    elif mode == "fresh":
        child_fresh(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "ops":
        child_ops(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5])
    else:
        sys.exit(main())
