"""Shared fixtures for the Python tests.

The enumeration machinery is not public: __Qx_EnumMeta and __Qx_EnumBase are
never entered in the module's namespace. The tests reach them this way:
import the module with the garbage collector paused, so that the fallback
class (released by the module once IntEnum replaces it, but kept alive by its
own reference cycles until a collection) is still there, and find it among
int.__subclasses__(); its type is the metaclass. Both are kept here for the
whole session.
"""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

# The facts about the running interpreter (tests/interpreter_facts.py).
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

_was_enabled = gc.isenabled()
gc.disable()
try:
    import quendrix.core.enums.weekdays as weekdays_module

    _bases = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"]
finally:
    if _was_enabled:
        gc.enable()

ENUM_BASE = _bases[0] if _bases else None
ENUM_META = type(ENUM_BASE) if ENUM_BASE is not None else None


@pytest.fixture
def weekdays():
    return weekdays_module


@pytest.fixture
def enum_base():
    if ENUM_BASE is None:
        pytest.skip("fallback base class not built")
    return ENUM_BASE


@pytest.fixture
def enum_meta():
    if ENUM_META is None:
        pytest.skip("metaclass not built")
    return ENUM_META


def run_fresh(source, *, check=True, env_extra=None, args=()):
    """Runs source in a fresh interpreter (the one running the tests) with
    the built package on sys.path; returns the CompletedProcess."""
    env = dict(os.environ)
    if env_extra:
        env.update(env_extra)
    proc = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"fresh interpreter failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
        )
    return proc


def pytest_terminal_summary(terminalreporter):
    """Prints how many hypothesis examples each property ran (counted by
    qx_hostile.count: the hostile-input ones and the stateful test's cases),
    and records the same lines in <build>/hypothesis-examples.txt when the
    tests run against a build tree (ctest shows a passing test's output only
    on request)."""
    hostile = sys.modules.get("qx_hostile")
    if hostile is None or not hostile.EXAMPLES:
        return
    lines = [f"hypothesis examples run: {sum(hostile.EXAMPLES.values())} "
             f"(max {hostile.MAX_EXAMPLES} per hostile-input property, derandomized; {sys.executable})"]
    lines += [f"  {name}: {n}" for name, n in sorted(hostile.EXAMPLES.items())]
    for line in lines:
        terminalreporter.write_line(line)
    package_root = os.environ.get("QX_PACKAGE_ROOT")
    if package_root and os.path.isdir(package_root):
        with open(os.path.join(os.path.dirname(os.path.abspath(package_root)), "hypothesis-examples.txt"),
                  "w", encoding="utf-8") as record:
            record.write("\n".join(lines) + "\n")
