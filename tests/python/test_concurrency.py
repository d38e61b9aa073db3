"""Threads meeting inside the module: user code run by a member store while
another thread stores, imports racing the entry. Each case runs in a fresh
interpreter (the same one, with the GIL off where the build allows it),
bounded by a timeout: a deadlock is a failure, not a hung suite. Members
added from many threads, and a failed import's functions called while it is
retried, are the threads check's (tests/reliability/threads.py)."""
import ast
import os
import subprocess
import sys
import textwrap

import interpreter_facts as facts
import pytest
import qx_hangs

NAME = "quendrix.core.enums.weekdays"

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

@pytest.mark.parametrize("store, check", list(qx_hangs.REGISTRY_CASES.values()),
                         ids=list(qx_hangs.REGISTRY_CASES))
def test_user_code_run_by_a_member_store_does_not_block_other_classes(store, check):
    run_child(qx_hangs.registry_wait_source(store, check), timeout=60)


# ---------------------------------------------------------------------------
# The entry waits for enum's import lock while another thread, which holds
# that lock, enters the module by another road. The first import must
# complete; the other road may give the module or refuse it with
# ImportError, but neither may wait for the other.

@pytest.mark.parametrize("road", qx_hangs.ROADS)
def test_an_entry_waiting_for_enum_does_not_hold_up_its_lock_holder(road):
    # -S: no site, so nothing imports enum before the module does.
    out = run_child(qx_hangs.entry_source(road), timeout=60, args=("-S",))
    print(out)
    wrong = qx_hangs.judge_entry(out)
    assert wrong is None, wrong


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
