"""Lifetimes and re-entrancy: what Python code can do to the module while it
is alive, while it initialises, and after it or its importer is gone. Each
case runs in a fresh interpreter, since each changes process-wide state."""
import contextlib
import sys
import traceback

import interpreter_facts as facts
import pytest

from conftest import ENUM_BASE, run_fresh

NAME = "quendrix.core.enums.weekdays"

INIT_ENTRY = """
def init_entry(exc):
    tb, found = exc.__traceback__, None
    while tb is not None:
        if tb.tb_frame.f_code.co_name.startswith("init "):
            found = tb
        tb = tb.tb_next
    return found
"""


def test_the_state_keeps_what_it_points_at():
    # The first module object is freed once every importer drops it; later
    # calls still import relative to it.
    run_fresh(
        f"""
import gc, pickle, sys
import quendrix.core.enums as package
import {NAME} as w
del sys.modules["{NAME}"], package.weekdays, w
gc.collect()
import {NAME} as w
for _ in range(2):
    try:
        w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
    except pickle.PickleError as exc:
        assert str(exc) == "Incompatible checksums (1 vs 0xd41d8cd = ())", exc
    else:
        raise AssertionError("no PickleError")
assert w.Weekdays(3) is w.Tuesday
"""
    )
    # A function published by a failed import outlives it in the frame of
    # the import's own traceback entry.
    run_fresh(
        INIT_ENTRY
        + f"""
import enum, pickle
saved, enum.IntEnum = enum.IntEnum, None
try:
    import {NAME}
except TypeError as exc:
    unpickle = init_entry(exc).tb_frame.f_globals["__qx_unpickle___Qx_EnumMeta"]
enum.IntEnum = saved
try:
    unpickle(int, 1, None)
except pickle.PickleError:
    pass
import {NAME} as w
assert list(w.Weekdays)[0] is w.Sunday
"""
    )


# Sub-interpreters: legacy ones share the main one's way of loading modules;
# isolated ones (the default of 3.12 and 3.13) refuse single-phase modules.
# sub_run returns the error text, or None.
SUBINTERPRETERS = """
try:
    import _interpreters as xi
    def sub_create(isolated=False):
        return xi.create(xi.new_config("isolated" if isolated else "legacy"))
    def sub_run(sub, source):
        error = xi.run_string(sub, source)
        return None if error is None else error.formatted
except ImportError:
    import _xxsubinterpreters as xi
    def sub_create(isolated=False):
        try:
            return xi.create(isolated=isolated)
        except TypeError:
            return xi.create()
    def sub_run(sub, source):
        try:
            xi.run_string(sub, source)
        except xi.RunFailedError as exc:
            return str(exc)
        return None
"""

# Where the entry runs in the main interpreter whoever imports, the main one
# always holds the module.
ENTRY_IN_MAIN = facts.RUNS_SINGLE_PHASE_ENTRY_IN_MAIN
REFUSED_IN_EVERY_SUB = facts.REFUSES_SINGLE_PHASE_IN_ALL_SUBINTERPRETERS

# Run in a sub-interpreter: an import that fails after publishing the
# unpickle function, which stays reachable from the traceback.
FAILING_IMPORT = (
    INIT_ENTRY
    + f"""
import enum, pickle
enum.IntEnum = None
try:
    import {NAME} as w
    unpickle = w.__qx_unpickle___Qx_EnumMeta
except TypeError as exc:
    unpickle = init_entry(exc).tb_frame.f_globals["__qx_unpickle___Qx_EnumMeta"]
"""
)
CALL_UNPICKLE = """
try:
    unpickle(int, 1, None)
except pickle.PickleError:
    pass
"""

# Each case: a script run after SUBINTERPRETERS in a fresh interpreter, and
# what its output must say (a predicate over the lines).
SUB_INTERPRETER_CASES = {
    # Imported first in a sub-interpreter that is then destroyed: the main
    # interpreter initialises afresh, never touching the vanished objects.
    "an_ended_interpreter_leaves_the_module_to_the_next": (
        f"""
import gc, pickle
sub = sub_create()
error = sub_run(sub, "import {NAME} as w; assert w.Weekdays(1) is w.Sunday")
# Free-threaded: refused there, so the main interpreter imports it first.
assert error is None or ({REFUSED_IN_EVERY_SUB}
                         and "does not support loading in subinterpreters" in error), error
xi.destroy(sub)
import {NAME} as w
gc.collect()
assert w.Weekdays(3) is w.Tuesday
try:
    w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
except pickle.PickleError:
    pass
""",
        lambda lines: True,
    ),
    # The file loaded again under another name runs the entry again; while
    # the sub-interpreter that imported it lives, that fails cleanly.
    "a_module_held_by_a_live_interpreter_names_it": (
        f"""
import importlib.machinery, importlib.util
import quendrix.core.enums as package
sub = sub_create()
assert sub_run(sub, "import {NAME}") is None
# Found on the path: 3.13 registers the module in the main interpreter's
# sys.modules while the sub-interpreter imports it, with no __spec__.
origin = importlib.machinery.PathFinder.find_spec("{NAME}", package.__path__).origin
again = importlib.util.spec_from_file_location("weekdays", origin)
try:
    importlib.util.module_from_spec(again)
except ImportError as exc:
    print(exc)
xi.destroy(sub)
import {NAME} as w
assert w.Weekdays(3) is w.Tuesday
print(int(sub))
""",
        lambda lines: len(lines) == 1 if ENTRY_IN_MAIN else lines[0] == (
            f"module {NAME} was first imported in another interpreter (ID {lines[-1]}) "
            "and cannot be loaded in this one (ID 0) while that one exists"),
    ),
    # A failed import leaves the module to any other interpreter, and the
    # function it published keeps working while the main interpreter takes
    # over, even when that fails at first.
    "a_failed_import_in_a_sub_interpreter_binds_nothing": (
        f"""
# list's and str's subclass registries made here first: one made in a
# sub-interpreter and joined by this one's classes outlives it, and 3.11
# leaks it (gh-92036: a reference to all a sub-interpreter tracks at its end).
import enum, pickle
import sys, types
ended = sub_create()
assert sub_run(ended, {FAILING_IMPORT!r}) is None
xi.destroy(ended)
sub = sub_create()
assert sub_run(sub, {FAILING_IMPORT!r}) is None
registry = sys.modules["_qx_shared_1_0"] = types.ModuleType("_qx_shared_1_0")
registry.qx_function_or_method = int
try:
    import {NAME}
except TypeError as exc:
    print(exc)
del sys.modules["_qx_shared_1_0"]
assert sub_run(sub, {CALL_UNPICKLE!r}) is None
import {NAME} as w
assert w.Weekdays(3) is w.Tuesday
assert sub_run(sub, {CALL_UNPICKLE!r}) is None
xi.destroy(sub)
del sys.modules["{NAME}"]
import {NAME} as again
assert again.Weekdays is w.Weekdays
import pickle
unpickle = w.__qx_unpickle___Qx_EnumMeta
exec({CALL_UNPICKLE!r})
""",
        lambda lines: ENTRY_IN_MAIN or lines[0].startswith("Shared runtime type qx_function_or_method "),
    ),
    "an_isolated_interpreter_refuses_the_module_without_holding_it": (
        f"""
import pickle
sub = sub_create(isolated=True)
print(sub_run(sub, "import {NAME}"))
if {not ENTRY_IN_MAIN}:  # the entry itself refuses, even with the check switched off
    unchecked = sub_create(isolated=True)
    print(sub_run(unchecked, "import _imp; _imp._override_multi_interp_extensions_check(-1); import {NAME}"))
import {NAME} as w
assert w.Weekdays(3) is w.Tuesday
xi.destroy(sub)
# Nothing is left held: a fresh one is refused the same way.
fresh = sub_create(isolated=True)
print(sub_run(fresh, "import {NAME}"))
xi.destroy(fresh)
try:
    w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
except pickle.PickleError:
    pass
""",
        lambda lines: "\n".join(lines).count("does not support loading in subinterpreters") == 2 and (
            ENTRY_IN_MAIN or "cannot be loaded in an interpreter with its own allocator" in "\n".join(lines)),
    ),
}


@pytest.mark.parametrize("case", SUB_INTERPRETER_CASES)
def test_sub_interpreters(case):
    if REFUSED_IN_EVERY_SUB and case in ("a_module_held_by_a_live_interpreter_names_it",
                                  "a_failed_import_in_a_sub_interpreter_binds_nothing"):
        pytest.skip("a free-threaded interpreter refuses the module in every sub-interpreter")
    if not facts.HAS_ISOLATED_SUBINTERPRETERS and "isolated" in case:
        pytest.skip("no isolated sub-interpreters before 3.12")
    script, expected = SUB_INTERPRETER_CASES[case]
    lines = run_fresh(SUBINTERPRETERS + script).stdout.splitlines()
    assert expected(lines), lines


def test_re_entry_during_initialisation_is_an_import_error():
    # A finder consulted by the body's relative import of enum imports the
    # module again: the inner import fails, the outer one completes.
    run_fresh(
        f"""
import sys
seen = []
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "quendrix.core.enums.enum" and not seen:
            seen.append(sys.modules.pop("{NAME}"))
            try:
                import {NAME}
            except ImportError as exc:
                seen.append(str(exc))
            sys.modules["{NAME}"] = seen[0]
        return None
sys.meta_path.insert(0, Finder())
import {NAME} as w
assert "circular import" in seen[1], seen
assert w.Saturday == 7 and len(w.Weekdays) == 7
"""
    )


def test_a_finalizer_does_not_move_the_reported_position():
    # The mapping released after IntEnum fails runs a finalizer whose own
    # failure (line 4 of the unpickle function) must not be what the
    # import's entry reports.
    run_fresh(
        INIT_ENTRY
        + f"""
import collections, enum, sys
class Mapping(collections.OrderedDict):
    def __del__(self):
        try:
            getattr(sys.modules["{NAME}"], "__qx_unpickle___Qx_EnumMeta")(int, 1, None)
        except Exception:
            pass
# A builtin that refuses the call keeps no frame holding the mapping.
collections.OrderedDict, enum.IntEnum = Mapping, int
try:
    import {NAME}
except TypeError as exc:
    entry = init_entry(exc)
    assert (entry.tb_frame.f_code.co_filename, entry.tb_lineno) == ("enumsupport", 53)
else:
    raise AssertionError("import should have failed")
"""
    )


def test_the_globals_walk_survives_its_list_changing():
    # Names that dir() lists but the dictionary lacks are read through the
    # module's __getattr__, which here empties the list being walked.
    run_fresh(
        f"""
import gc, sys
def getattr_hook(name):
    for o in gc.get_objects():
        if type(o) is list and "zz_extra_a" in o and "zz_extra_b" in o:
            o.clear()
    return name.upper()
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "quendrix.core.enums.enum":
            m = sys.modules["{NAME}"]
            m.__dir__ = lambda: ["zz_extra_a", "zz_extra_b", *vars(m)]
            m.__getattr__ = getattr_hook
        return None
sys.meta_path.insert(0, Finder())
import {NAME} as w
assert w.zz_extra_b == "ZZ_EXTRA_B" and "zz_extra_a" not in vars(w)
"""
    )


def test_import_state_the_module_must_not_depend_on_or_change():
    # Without the import system's bootstrap module in sys.modules the import
    # works and does not put a stand-in there.
    run_fresh(
        f"""
import sys
del sys.modules["_frozen_importlib"]
import {NAME} as w
assert w.Weekdays(2) is w.Monday
assert "_frozen_importlib" not in sys.modules
"""
    )
    # A look-alike of the shared function type is refused, not used.
    proc = run_fresh(
        f"""
import sys, types
registry = sys.modules["_qx_shared_1_0"] = types.ModuleType("_qx_shared_1_0")
registry.qx_function_or_method = type("qx_function_or_method", (), {{"__slots__": tuple("s%d" % i for i in range(18))}})
try:
    import {NAME}
except TypeError as exc:
    print(exc)
""",
    )
    assert proc.stdout.startswith("Shared runtime type qx_function_or_method "), proc.stdout


@pytest.mark.skipif(ENUM_BASE is None, reason="fallback base class not built")
def test_slots_reaching_user_objects_refuse_endless_recursion():
    # Within the recursion limit on every version: from 3.14 the guard for
    # calls from C counts no levels, and a failure as deep as the stack made
    # an entry per level, each reading a switch that may fail as deep again
    # (which took hours).
    class K(ENUM_BASE):
        pass

    class L(ENUM_BASE):
        pass

    def entries(subscript):
        with pytest.raises(RecursionError) as info:
            subscript()
        return len(list(traceback.walk_tb(info.value.__traceback__)))

    limit = sys.getrecursionlimit() + 10  # and the test's own frames
    K.__members__ = K
    assert entries(lambda: K["x"]) <= limit
    K.__members__, L.__members__ = L, K
    assert entries(lambda: L[0]) <= limit

    reads = []

    class Switch:
        def __bool__(self):
            reads.append(1)
            with contextlib.suppress(RecursionError):
                L["y"]
            return False

    runtime = sys.modules["qx_runtime"]
    old = vars(runtime).get("impl_line_in_traceback", False)
    runtime.impl_line_in_traceback = Switch()
    try:
        assert entries(lambda: K["x"]) <= limit
    finally:
        runtime.impl_line_in_traceback = old
    assert 0 < len(reads) <= limit

    class Values:
        def values(self):
            return K

    K.__members__ = Values()
    with pytest.raises(RecursionError):
        iter(K)


def test_a_switch_that_calls_back_is_read_once_per_entry():
    # Reading the switch may run a failing function of the module, whose own
    # entry must not read the switch again (each level would recurse).
    run_fresh(
        f"""
import pickle, sys
import {NAME} as w
reads = []
unpickle = w.__qx_unpickle___Qx_EnumMeta
class Switch:
    def __bool__(self):
        reads.append(1)
        try:
            unpickle(int, 1, None)
        except pickle.PickleError:
            pass
        return True
sys.modules["qx_runtime"].impl_line_in_traceback = Switch()
try:
    unpickle(int, 1, None)
except pickle.PickleError as exc:
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name.startswith("EnumBase.__qx_unpickle___Qx_EnumMeta (quendrix/")
assert len(reads) == 1, len(reads)
"""
    )
