"""Threads meeting inside the module: user code run while the module holds a
lock, imports racing the entry, functions of a failed import called while
it is retried. Each case runs in a fresh interpreter (the same one, with the
GIL off where the build allows it), bounded by a timeout: a deadlock is a
failure, not a hung suite."""
import ast
import os
import subprocess
import sys
import textwrap

import interpreter_facts as facts
import pytest
import qx_retries

NAME = "quendrix.core.enums.weekdays"

# Reaches the fallback base and its metaclass as conftest does.
FALLBACK = f"""
import gc
gc.disable()
import {NAME} as weekdays
Base = next(c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase")
Meta = type(Base)
gc.enable()
"""


def run_child(source, *, timeout, args=()):
    """Runs source in a fresh interpreter; returns its stdout. A hang or a
    non-zero exit fails the test with what the child printed (a hung child
    dumps its threads' stacks first)."""
    env = dict(os.environ)
    if facts.FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    # faulthandler is built in: importing it imports nothing else.
    prefix = f"import faulthandler; faulthandler.dump_traceback_later({timeout - 5}, exit=True)\n"
    try:
        proc = subprocess.run([sys.executable, *args, "-c", prefix + textwrap.dedent(source)],
                              capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hung for {timeout} s:\n{exc.stdout}\n{exc.stderr}")
    if proc.returncode != 0:
        pytest.fail(f"fresh interpreter failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc.stdout


# ---------------------------------------------------------------------------
# Python code run by a member's store (the name's __hash__, the finalizer of
# the value it replaces) waits for another thread that adds a member to an
# unrelated class. Nothing of the module may stand between the two.

REGISTRY_WAIT = FALLBACK + """
import threading
K = Meta("K", (Base,), {{}})
L = Meta("L", (Base,), {{}})
entered, other_done = threading.Event(), threading.Event()
waited = []

def wait_for_other():
    if not entered.is_set():
        entered.set()
        waited.append(other_done.wait(5))

class Name(str):
    def __hash__(self):
        wait_for_other()
        return str.__hash__(self)

class Dying(Base, metaclass=Meta):
    def __del__(self):
        if int(self) == 1:
            wait_for_other()

def other():
    entered.wait(10)
    L(7, "b")
    other_done.set()

t = threading.Thread(target=other, daemon=True)
t.start()
{store}
t.join(10)
assert not t.is_alive(), "the other thread is stuck"
assert waited == [True], "the other thread could not add its member meanwhile"
assert L.b == 7 and L.__members__["b"] is L.b
assert {check}
"""


@pytest.mark.parametrize("store, check", [
    # The store hashes a name of a str subclass.
    ('member = K(1, Name("a"))', 'K.__members__["a"] is member is K.a'),
    # The store replaces a member that nothing else holds: its finalizer runs.
    ('Dying(1, "a"); member = Dying(2, "a")', 'Dying.__members__["a"] is member is Dying.a'),
], ids=["name_hash", "replaced_value_finalizer"])
def test_user_code_run_by_a_member_store_does_not_block_other_classes(store, check):
    run_child(REGISTRY_WAIT.format(store=store, check=check), timeout=60)


# ---------------------------------------------------------------------------
# Threads adding distinct members to one class at once: none may be lost or
# doubled (without the GIL the registry's OrderedDict is not safe on its own).

LOST_MEMBERS = FALLBACK + """
import threading, time
THREADS, PER_THREAD = 8, 250
K = Meta("K", (Base,), {})
barrier = threading.Barrier(THREADS)
errors = []

def add(t):
    barrier.wait()
    for i in range(PER_THREAD):
        try:
            K(1 + t * PER_THREAD + i, "m%d_%d" % (t, i))
        except Exception as exc:
            errors.append("m%d_%d: %r" % (t, i, exc))

threads = [threading.Thread(target=add, args=(t,), daemon=True) for t in range(THREADS)]
for t in threads:
    t.start()
deadline = time.monotonic() + 15
for t in threads:
    t.join(max(0, deadline - time.monotonic()))
assert not any(t.is_alive() for t in threads), "a thread is stuck"
names = list(K.__members__)
expected = {"m%d_%d" % (t, i) for t in range(THREADS) for i in range(PER_THREAD)}
failed = {e.split(":")[0] for e in errors}
lost = sorted(expected - set(names) - failed)
assert not errors and not lost, "%d of %d additions failed (%s), %d more lost: %s" % (
    len(errors), len(expected), errors[:3], len(lost), lost[:5])
assert len(names) == len(set(names)), "%d names listed twice" % (len(names) - len(set(names)))
assert set(names) == expected, sorted(set(names) - expected)[:5]
bad = [n for n in names if getattr(K, n, None) is not K.__members__[n] or K.__members__[n].name != n]
assert not bad, bad[:5]
assert len(list(K)) == len(expected)
"""


def test_members_added_from_many_threads_are_all_kept():
    run_child(LOST_MEMBERS, timeout=30)


# ---------------------------------------------------------------------------
# The entry waits for enum's import lock while another thread, which holds
# that lock, enters the module by another road. The first import must
# complete; the other road may give the module or refuse it with
# ImportError, but neither may wait for the other.

ENTRY_WHILE_ENUM_IS_LOCKED = """
import sys
assert "enum" not in sys.modules, "enum imported at start-up: nothing to wait for"
import _frozen_importlib, _imp, os, threading, time
import importlib.machinery
import quendrix.core.enums as package
assert "enum" not in sys.modules, "enum imported by the set-up"
origin = importlib.machinery.PathFinder.find_spec("{name}", package.__path__).origin
ROAD = {road!r}
a_ident, a_result, b_result = [], [], []
enum_locked = threading.Event()

def a_waits_for_enum():
    # 3.11 records one lock per thread, later versions a list of them.
    held = (_frozen_importlib._blocking_on or {{}}).get(a_ident[0]) if a_ident else None
    locks = held if isinstance(held, list) else [held] if held is not None else []
    return any(getattr(lock, "name", None) == "enum" for lock in locks)

def other_road():
    if ROAD == "create_dynamic":
        return _imp.create_dynamic(importlib.machinery.ModuleSpec("{name}", None, origin=origin))
    loader = importlib.machinery.ExtensionFileLoader("weekdays", origin)
    return _frozen_importlib.module_from_spec(importlib.machinery.ModuleSpec("weekdays", loader, origin=origin))

class Loader:
    def __init__(self, real):
        self.real = real
    def create_module(self, found):
        return self.real.create_module(found)
    def exec_module(self, module):
        # This thread holds enum's module lock.
        enum_locked.set()
        deadline = time.monotonic() + 10
        while not a_waits_for_enum():
            if time.monotonic() > deadline:
                b_result.append("the first import never waited for enum")
                break
            time.sleep(0.001)
        else:
            try:
                got = other_road()
                b_result.append("module" if hasattr(got, "Weekdays") else "half-built module %r" % got)
            except ImportError as exc:
                b_result.append("ImportError: %s" % exc)
            except BaseException as exc:
                b_result.append("unexpected %s: %s" % (type(exc).__name__, exc))
        self.real.exec_module(module)

class Finder:
    def find_spec(self, name, path=None, target=None):
        if name != "enum" or threading.current_thread() is not b:
            return None
        found = importlib.machinery.PathFinder.find_spec(name, path)
        found.loader = Loader(found.loader)
        return found

def a_imports():
    a_ident.append(threading.get_ident())
    if not enum_locked.wait(10):
        a_result.append("enum's lock was never taken")
        return
    try:
        import {name} as w
        a_result.append("module" if w.Weekdays(2) is w.Monday else "wrong module")
    except BaseException as exc:
        a_result.append("%s: %s" % (type(exc).__name__, exc))

def b_imports():
    import enum

sys.meta_path.insert(0, Finder())
a = threading.Thread(target=a_imports, daemon=True)
b = threading.Thread(target=b_imports, daemon=True)
a.start()
b.start()
deadline = time.monotonic() + 15
for t in (a, b):
    t.join(max(0, deadline - time.monotonic()))
# Printed as a literal: json would import enum, whose lock a hung thread holds.
print(repr({{"a": a_result, "b": b_result, "a_hung": a.is_alive(), "b_hung": b.is_alive()}}), flush=True)
os._exit(0)  # a hung thread would hold up the interpreter's exit
"""


@pytest.mark.parametrize("road", ["create_dynamic", "second_name"])
def test_an_entry_waiting_for_enum_does_not_hold_up_its_lock_holder(road):
    # -S: no site, so nothing imports enum before the module does.
    out = run_child(ENTRY_WHILE_ENUM_IS_LOCKED.format(name=NAME, road=road), timeout=60, args=("-S",))
    report = ast.literal_eval(out.strip().splitlines()[-1])
    print("the other road got:", report["b"])
    assert not report["a_hung"] and not report["b_hung"], f"deadlock (still running after 15 s): {report}"
    assert report["a"] == ["module"], report
    assert len(report["b"]) == 1 and (report["b"][0] == "module" or report["b"][0].startswith("ImportError: ")), report


# ---------------------------------------------------------------------------
# Sub-interpreters importing the module for the first time, all at once, each
# from its own thread, the main interpreter never having imported it. Where
# the entry runs in the main interpreter whoever imports, their entries meet
# there: none may take another's initialisation for a circular import, and
# the isolated ones must be refused by the import system without harm.

FIRST_IMPORTS_FROM_SUB_INTERPRETERS = """
import sys, threading, time
ISOLATED, COUNT = {isolated}, 8
subs = [sub_create(isolated=ISOLATED) for _ in range(COUNT)]
errors = ["not run"] * COUNT
barrier = threading.Barrier(COUNT)

def run(i):
    barrier.wait()
    errors[i] = sub_run(subs[i], "import {name} as w; assert w.Weekdays(2) is w.Monday")

assert "{name}" not in sys.modules
threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(COUNT)]
for t in threads:
    t.start()
deadline = time.monotonic() + 10
for t in threads:
    t.join(max(0, deadline - time.monotonic()))
assert not any(t.is_alive() for t in threads), "an import is stuck"
for sub in subs:
    xi.destroy(sub)
import {name} as w
assert w.Weekdays(7) is w.Saturday
print(repr(errors))
"""

REFUSED_BY_THE_IMPORT_SYSTEM = "does not support loading in subinterpreters"


@pytest.mark.skipif(not facts.RUNS_SINGLE_PHASE_ENTRY_IN_MAIN,
                    reason="each sub-interpreter runs the entry itself, and the first one holds the module")
@pytest.mark.parametrize("isolated", [False, True], ids=["legacy", "isolated"])
def test_first_imports_from_many_sub_interpreters_at_once(isolated):
    from test_lifetimes import SUBINTERPRETERS

    refused = isolated or facts.REFUSES_SINGLE_PHASE_IN_ALL_SUBINTERPRETERS
    # The race does not show in every process.
    for _ in range(3):
        out = run_child(SUBINTERPRETERS + FIRST_IMPORTS_FROM_SUB_INTERPRETERS.format(
            name=NAME, isolated=isolated), timeout=30)
        errors = ast.literal_eval(out.strip().splitlines()[-1])
        print(errors)
        if refused:
            wrong = [e for e in errors if e is None or REFUSED_BY_THE_IMPORT_SYSTEM not in e]
        else:
            # Each waits for the first to finish and gets its module.
            wrong = [e for e in errors if e is not None]
        assert not wrong, f"{len(wrong)} of {len(errors)} imports got: {wrong[0]}"


# ---------------------------------------------------------------------------
# A failed import leaves its functions reachable. Threads keep calling them,
# each failure adding a traceback entry over the module's dictionary, while
# another thread retries the import over and over: each retry replaces the
# module, its dictionary, builtins and qx_runtime under their feet
# (qx_retries.py).


def test_functions_of_a_failed_import_called_while_it_is_retried():
    print(run_child(qx_retries.source(seconds=3), timeout=60))
