"""Import failures, each in a fresh interpreter, and recovery from them."""
import interpreter_facts as facts
from conftest import run_fresh

ENTRY_CHECK = """
def last_entry(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    return code.co_name, code.co_filename, tb.tb_lineno
"""


def test_enum_unimportable_fails_at_line_45_and_a_retry_succeeds():
    run_fresh(
        ENTRY_CHECK
        + """
import sys
sys.modules["enum"] = None
try:
    import quendrix.core.enums.weekdays
except ImportError as exc:
    assert last_entry(exc) == ("init quendrix.core.enums.weekdays", "enumsupport", 45), last_entry(exc)
    # Exactly one entry of ours: the import system's frames precede it.
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names.count("init quendrix.core.enums.weekdays") == 1, names
else:
    raise AssertionError("import should have failed")
assert "quendrix.core.enums.weekdays" not in sys.modules
# An initialisation failure alone does not create the switch.
assert "impl_line_in_traceback" not in vars(sys.modules["qx_runtime"])

del sys.modules["enum"]
import quendrix.core.enums.weekdays as w
assert [m.value for m in w.Weekdays] == list(range(1, 8))
assert w.Sunday is w.Weekdays.Sunday
"""
    )


def test_collections_without_ordered_dict_fails_at_line_10():
    run_fresh(
        ENTRY_CHECK
        + """
import collections
saved = collections.OrderedDict
del collections.OrderedDict
try:
    import quendrix.core.enums.weekdays
except ImportError as exc:
    assert str(exc) == "cannot import name OrderedDict", str(exc)
    assert last_entry(exc) == ("init quendrix.core.enums.weekdays", "enumsupport", 10), last_entry(exc)
else:
    raise AssertionError("import should have failed")
collections.OrderedDict = saved
import quendrix.core.enums.weekdays as w
assert w.Weekdays.Saturday == 7
"""
    )


def test_first_failure_with_an_implementation_line_creates_the_switch_false():
    run_fresh(
        """
import sys
import quendrix.core.enums.weekdays as w
runtime = sys.modules["qx_runtime"]
assert "impl_line_in_traceback" not in vars(runtime)
try:
    w.__qx_unpickle___Qx_EnumMeta(1, 2)
except TypeError:
    pass
assert runtime.impl_line_in_traceback is False
"""
    )


def test_a_failed_initialisation_never_stays_registered_when_memory_runs_out():
    # Every allocation of a failing initialisation fails once in turn; the
    # failure exit must remove the module-table entry even when the failing
    # allocation is its own last one, or every later import would be handed
    # the half-built module.
    run_fresh(
        f"MAKE_FUNCTION_SURVIVES = {facts.MAKE_FUNCTION_SURVIVES_FAILED_ALLOCATION}\n"
        + """
import _imp, enum, gc, importlib.util, sys
import _testcapi
import quendrix.core.enums
name = "quendrix.core.enums.weekdays"
found = importlib.util.find_spec(name)
# The relative attempts fail at once, without a search of the file system.
for m in ("collections", "enum", "pickle"):
    sys.modules["quendrix.core.enums." + m] = None
sys.modules["enum"] = None  # every attempt fails, at line 45 at the latest
if not MAKE_FUNCTION_SURVIVES:
    # Made beforehand and kept: made under a failed allocation, the import
    # system's lock of the name would corrupt this interpreter (its own fault).
    import _frozen_importlib
    lock = _frozen_importlib._get_module_lock(name)
sys._getframe()
gc.disable()
left = []
for n in range(2000):
    _testcapi.set_nomemory(n, n + 1)
    try:
        _imp.create_dynamic(found)
    except (ImportError, MemoryError):
        pass
    finally:
        _testcapi.remove_mem_hooks()
    if name in sys.modules:
        left.append(n)
        del sys.modules[name]
assert not left, left
gc.enable()
sys.modules["enum"] = enum
for m in ("collections", "enum", "pickle"):
    del sys.modules["quendrix.core.enums." + m]
# A static type whose readying failed is never readied again (the interpreter
# leaves it half-built; 3.13 crashes on a second attempt): a clean refusal.
try:
    import quendrix.core.enums.weekdays as w
except ImportError as exc:
    assert "could not be made ready earlier in this process" in str(exc), exc
else:
    assert [m.name for m in w.Weekdays][-1] == "Saturday" and w.Saturday is w.Weekdays.Saturday
""",
        args=("-X", "faulthandler"),
    )
