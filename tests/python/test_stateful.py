"""The attacker's programs (qx_stateful.py): hypothesis draws each program,
a list of rules and their choices, and runs it in a child of its own, forked
from a process that never imported the module (the module's state is
process-wide). An example is then deterministic: hypothesis replays it and
shrinks a failing one to a shortest program, and a crash or a hang is just a
failing example."""
import json
import os
import subprocess
import sys
import tempfile

import interpreter_facts as facts
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import qx_stateful
from qx_hostile import count

DRIVER = os.path.abspath(qx_stateful.__file__)
DEBUG = facts.DEBUG_BUILD
FREE_THREADED = facts.FREE_THREADED

# Bounded for CI: about 20 s with the release interpreter on two cores (a
# fork and about 25 steps an example); the debug interpreter is several
# times slower (and then checks reference counts), so it runs fewer
# examples. QX_STATEFUL_EXAMPLES and QX_STATEFUL_STEPS change the bounds.
EXAMPLES = int(os.environ.get("QX_STATEFUL_EXAMPLES", "40" if DEBUG else "200"))
STEPS = int(os.environ.get("QX_STATEFUL_STEPS", "50"))
HANG = 120  # seconds after which an example counts as hung


def steps(name):
    choices = qx_stateful.STEPS[name].choices
    return st.fixed_dictionaries({k: st.sampled_from(v) for k, v in choices.items()}).map(
        lambda kwargs: [name, kwargs])


STEP = st.one_of([steps(n) for n in qx_stateful.STEPS if n != "start"])


@st.composite
def programs(draw):
    """A start as the module's life has it (an import, or none yet), then each
    step's rule drawn evenly: runs of steps, so that programs are about
    half the bound long on average (a flat list averages five)."""
    runs = draw(st.lists(st.lists(STEP, max_size=STEPS), max_size=STEPS))
    return [draw(steps("start")), *[s for run in runs for s in run][:STEPS]]


# The tour of every rule but the module's life, after a failed first import:
# the leftovers met before the module ever initialised.
BEFORE_THE_MODULE = qx_stateful.before_the_module(qx_stateful.leak_tour())
# The switch, made hostile here, read by a failing call in a sub-interpreter
# that shares the module: its callbacks must not run this process's code
# there (an import from there crashed 3.14 once that interpreter was gone).
SWITCH_READ_ELSEWHERE = [
    ["start", {"how": "import"}],
    ["life", {"how": "import"}],
    ["life", {"how": "remove"}],
    ["registry", {"action": "junk"}],
    ["registry", {"action": "junk"}],
    ["registry", {"action": "junk"}],
    ["life", {"how": "import"}],
    ["registry", {"action": "junk"}],
    ["switch", {"value": "raising"}],
    ["subinterpreter", {"script": "use"}],
    ["life", {"how": "import"}],
]
# Every operation of the shared table once, on the objects of an import.
EVERY_OPERATION = [["start", {"how": "import"}]] + [
    ["operation", {"op": op, "on": "current", "base": 0, "which": 0}] for op in qx_stateful.OPERATIONS]


class Crashed(AssertionError):
    pass


class Hung(AssertionError):
    pass


class CheckFailed(AssertionError):
    pass


class Driver:
    """The process that forks a child for each program."""

    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-X", "faulthandler", DRIVER, "--serve"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, PYTHONHASHSEED="0"))

    def run(self, program, options):
        self.proc.stdin.write(json.dumps({"program": program, "options": options}) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline()
        if not answer:
            raise Crashed(f"the driver itself ended ({self.proc.wait()})")
        return json.loads(answer)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)
        self.proc.stdout.close()


@pytest.fixture(scope="module")
def driver():
    d = Driver()
    yield d
    d.close()


def failure(program, options, status, output):
    """The failing example's program in a file, and how to run it alone."""
    fd, path = tempfile.mkstemp(prefix="qx-program-", suffix=".json")
    with os.fdopen(fd, "w") as f:
        json.dump(program, f)
    path_var = f"PYTHONPATH={os.environ['PYTHONPATH']} " if os.environ.get("PYTHONPATH") else ""
    return (f"exit status {status}\n{output[-8000:]}\n(run it alone: PYTHONHASHSEED=0 {path_var}"
            f"{sys.executable} {DRIVER} --program {path} {' '.join(options)})")


# The first import decides most of what follows: after a failed one, the
# functions it left behind are called; after one in a sub-interpreter, the
# module belongs to that interpreter and there is less to attack here, so
# fewer examples are run. Without the GIL, also with rival threads running
# the rules at the same time (then only a crash, a hang, a SystemError or
# the GIL turned back on fails an example).
@pytest.mark.parametrize("first_import, examples, threads", [
    ("failed", EXAMPLES, 0),
    ("subinterpreter", max(EXAMPLES // 10, 2), 0),
    *([("failed", EXAMPLES // 2, 3)] if FREE_THREADED else []),
])
def test_the_module_survives_an_attacker(driver, first_import, examples, threads):
    options = ["--first-import", first_import, "--threads", str(threads), "--hang", str(HANG)]

    @settings(max_examples=examples, derandomize=True, database=None, deadline=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(program=programs())
    @example(program=BEFORE_THE_MODULE)
    @example(program=EVERY_OPERATION)
    @example(program=SWITCH_READ_ELSEWHERE)
    def attack(program):
        count(f"stateful: first import {first_import}, {threads} rival threads")
        answer = driver.run(program, options)
        status, output = answer["status"], answer["output"]
        if status < 0 or "Fatal Python error" in output:
            raise Crashed(failure(program, options, status, output))
        if "most recent call first" in output and "Timeout (" in output:
            raise Hung(failure(program, options, status, output))
        if status != 0:
            raise CheckFailed(failure(program, options, status, output))

    attack()


@pytest.mark.parametrize("first_import", ["failed", "subinterpreter"])
def test_every_rule_in_an_interpreter_of_its_own(tmp_path, first_import):
    # The tour of every rule with each of its choices, after an import, run
    # in a fresh interpreter that ends normally: under the sanitizers, their
    # leak check at exit covers the rules (a forked example's does not).
    program = tmp_path / "tour.json"
    program.write_text(json.dumps([["start", {"how": "import"}], *qx_stateful.leak_tour()]))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", DRIVER, "--program", str(program),
                           "--first-import", first_import, "--hang", "300"], capture_output=True, text=True,
                          timeout=600, env=dict(os.environ, PYTHONHASHSEED="0"))
    assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (
        f"exit status {proc.returncode}\n--- stdout\n{proc.stdout[-5000:]}\n--- stderr\n{proc.stderr[-10000:]}")


@pytest.mark.skipif(not DEBUG, reason="only a debug interpreter counts references")
@pytest.mark.parametrize("first_import", ["failed", "subinterpreter"])
def test_the_rules_leave_no_references_behind(first_import):
    # A fixed tour of every rule with each of its choices, repeated: the total
    # reference count must not grow.
    proc = subprocess.run([sys.executable, "-X", "faulthandler", DRIVER, "--leak-check", "--first-import",
                           first_import, "--hang", "300"], capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (
        f"exit status {proc.returncode}\n--- stdout\n{proc.stdout[-5000:]}\n--- stderr\n{proc.stderr[-10000:]}")
    print(proc.stdout.strip())
