"""The published namespace and the Weekdays enumeration."""
import builtins
import copy
import enum
import os
import pickle

import interpreter_facts as facts
import pytest

from conftest import run_fresh

MEMBERS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]
# What the interpreter and the import system put in every module.
INTERPRETER_KEYS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_namespace_holds_exactly_the_published_names_in_order(weekdays):
    own = [k for k in vars(weekdays) if k not in INTERPRETER_KEYS]
    assert own == ["__builtins__", "__test__", "__qx_unpickle___Qx_EnumMeta", "Weekdays", *MEMBERS]
    assert weekdays.__builtins__ is builtins
    assert weekdays.__doc__ is None
    assert weekdays.__test__ == {}
    assert weekdays.__name__ == "quendrix.core.enums.weekdays"
    for hidden in ("__Qx_EnumBase", "__Qx_EnumMeta", "OrderedDict", "IntEnum"):
        assert not hasattr(weekdays, hidden)


def test_weekdays_is_an_int_enum_with_seven_members_in_order(weekdays):
    W = weekdays.Weekdays
    assert issubclass(W, enum.IntEnum)
    assert [(m.name, m.value) for m in W] == list(zip(MEMBERS, range(1, 8)))
    assert W(1) is W.Sunday and W(7) is W.Saturday
    assert W.Monday == 2 and W.Monday + 1 == 3
    for name in MEMBERS:
        assert getattr(weekdays, name) is W[name]
    with pytest.raises(ValueError):
        W(8)


def test_the_class_and_its_members_pickle_and_copy_to_themselves(weekdays):
    W = weekdays.Weekdays
    assert W.__module__ == "quendrix.core.enums.weekdays"
    assert W.__qualname__ == "Weekdays"
    # Protocols 0 to 3 name a class with another opcode (GLOBAL) than 4 and 5.
    for obj in [W, *W]:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(obj, protocol)) is obj
        assert copy.copy(obj) is obj
        assert copy.deepcopy(obj) is obj


def test_unpickle_function_is_a_builtin_of_module_enumbase(weekdays):
    f = weekdays.__qx_unpickle___Qx_EnumMeta
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__module__ == "EnumBase"
    assert f.__name__ == "__qx_unpickle___Qx_EnumMeta"


def test_reimport_serves_the_same_module():
    run_fresh(
        """
        import sys, importlib
        import quendrix.core.enums.weekdays as a
        b = importlib.import_module("quendrix.core.enums.weekdays")
        assert a is b
        assert sys.modules["quendrix.core.enums.weekdays"] is a
        """
    )


def test_import_is_clean_when_warnings_are_errors():
    run_fresh(
        """
        import quendrix.core.enums.weekdays as w
        assert w.Weekdays.Friday == 6
        """,
        args=("-W", "error"),
    )


def test_import_leaves_a_free_threaded_interpreter_without_the_gil():
    if not facts.FREE_THREADED:
        pytest.skip("an interpreter with the GIL")
    if os.environ.get("PYTHON_GIL") == "1":
        pytest.skip("PYTHON_GIL=1 turns the GIL on whatever the module says")
    run_fresh(
        """
        import sys
        import quendrix.core.enums.weekdays as w
        assert not sys._is_gil_enabled()
        assert w.Weekdays.Friday == 6
        """,
        args=("-W", "error"),
    )


def test_an_import_from_another_thread_waits_for_the_initialisation():
    # The module is in sys.modules from before its body runs. Another
    # thread importing it meanwhile must wait for the body to finish (the
    # import system waits on its module lock when __spec__ says the module
    # is still initialising), not take the half-built module.
    run_fresh(
        """
import enum, importlib._bootstrap as bootstrap, sys, threading, time
name = "quendrix.core.enums.weekdays"
real = enum.IntEnum
seen = {}

def importer():
    import quendrix.core.enums.weekdays as w
    seen["complete"] = hasattr(w, "Weekdays") and hasattr(w, "Saturday")

def int_enum(*args, **kwargs):
    # Runs inside the body, on the importing thread.
    assert sys.modules[name].__spec__._initializing is True
    other = threading.Thread(target=importer)
    other.start()
    lock = bootstrap._module_locks[name]()
    # Until the other import has either returned or is waiting for this one.
    while "complete" not in seen and lock.waiters == 0:
        time.sleep(0)
    assert "complete" not in seen, "the other thread got the half-built module"
    seen["thread"] = other
    return real(*args, **kwargs)

enum.IntEnum = int_enum
import quendrix.core.enums.weekdays as w
enum.IntEnum = real
seen["thread"].join()
assert seen["complete"] is True
assert w.__spec__ is not None and w.__spec__._initializing is False
"""
    )
