"""The attacker's state machine (qx_stateful.py), each run in a fresh
interpreter: the module's state is process-wide, and a crash must fail this
test rather than end the session."""
import json
import os
import subprocess
import sys

import interpreter_facts as facts
import pytest

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "qx_stateful.py")
DEBUG = facts.DEBUG_BUILD
FREE_THREADED = facts.FREE_THREADED

# Bounded for CI: about 20 s with the release interpreter on two cores; the
# debug interpreter is several times slower (and then checks reference
# counts), so it runs fewer examples. QX_STATEFUL_EXAMPLES and
# QX_STATEFUL_STEPS change the bounds.
EXAMPLES = int(os.environ.get("QX_STATEFUL_EXAMPLES", "40" if DEBUG else "200"))
STEPS = int(os.environ.get("QX_STATEFUL_STEPS", "50"))


def last_example(trace):
    """The steps of the example that was running when the driver stopped."""
    if not os.path.exists(trace):
        return []
    with open(trace) as f:
        lines = f.read().splitlines()
    starts = [i for i, line in enumerate(lines) if json.loads(line) == ["example"]]
    return lines[starts[-1]:] if starts else lines


# The first import decides most of what follows: after a failed one, the
# functions it left behind are called; after one in a sub-interpreter, the
# module belongs to that interpreter and there is less to attack here, so
# fewer examples are run. Without the GIL, also with rival threads running
# the rules at the same time (about 40 s on two cores).
@pytest.mark.parametrize("first_import, examples, threads", [
    ("failed", EXAMPLES, 0),
    ("subinterpreter", max(EXAMPLES // 10, 2), 0),
    *([("failed", EXAMPLES // 2, 3)] if FREE_THREADED else []),
])
def test_the_module_survives_an_attacker(tmp_path, first_import, examples, threads):
    trace = str(tmp_path / "trace.jsonl")
    command = [sys.executable, "-X", "faulthandler", DRIVER, "--examples", str(examples),
               "--steps", str(STEPS), "--first-import", first_import, "--trace", trace, "--hang", "300",
               "--threads", str(threads)]
    # A fixed hash seed: a replay of the trace then meets the same dictionary layouts.
    proc = subprocess.run(command, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    if proc.returncode != 0 or "Fatal Python error" in proc.stderr:
        steps = "\n".join(last_example(trace)[-60:])
        pytest.fail(f"the driver exited with {proc.returncode}\n--- stdout\n{proc.stdout[-5000:]}\n"
                    f"--- stderr\n{proc.stderr[-10000:]}\n--- last steps (from {trace})\n{steps}\n"
                    f"(replay: {sys.executable} {DRIVER} --replay {trace}; --shrink to cut it down)",
                    pytrace=False)
    print(proc.stdout.strip())
