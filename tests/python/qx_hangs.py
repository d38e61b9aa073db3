"""The sources of fresh interpreters in which one thread runs user code, or
holds an import lock, that another thread needs while the module is in the
middle of something: each prints a report or fails an assertion, and a
hang is the fault they catch. Run by test_concurrency.py, and by
tests/reliability/threads.py (under ThreadSanitizer too), so that they must
not need pytest.

REGISTRY_CASES: id -> (store, check), for registry_wait_source.
ROADS: the second roads into the entry, for entry_source (run it with -S).
judge_entry(stdout): None, or what went wrong.
"""

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



# Python code run by a member's store (the name's __hash__, the finalizer of
# the value it replaces) waits for another thread that adds a member to an
# unrelated class. Nothing of the module may stand between the two.

_REGISTRY_WAIT = FALLBACK + """
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

REGISTRY_CASES = {
    # The store hashes a name of a str subclass.
    "name_hash": ('member = K(1, Name("a"))', 'K.__members__["a"] is member is K.a'),
    # The store replaces a member that nothing else holds: its finalizer runs.
    "replaced_value_finalizer": ('Dying(1, "a"); member = Dying(2, "a")',
                                 'Dying.__members__["a"] is member is Dying.a'),
}


def registry_wait_source(store, check):
    return _REGISTRY_WAIT.format(store=store, check=check)


# The entry waits for enum's import lock while another thread, which holds
# that lock, enters the module by another road. The first import must
# complete; the other road may give the module or refuse it with
# ImportError, but neither may wait for the other.

_ENTRY_WHILE_ENUM_IS_LOCKED = """
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

ROADS = ("create_dynamic", "second_name")


def entry_source(road):
    return _ENTRY_WHILE_ENUM_IS_LOCKED.format(name=NAME, road=road)


def judge_entry(stdout):
    import ast
    report = ast.literal_eval(stdout.strip().splitlines()[-1])
    if report["a_hung"] or report["b_hung"]:
        return f"deadlock (still running after 15 s): {report}"
    if report["a"] != ["module"]:
        return f"the first import got {report['a']}"
    if len(report["b"]) != 1 or not (report["b"][0] == "module" or report["b"][0].startswith("ImportError: ")):
        return f"the other road got {report['b']}"
    return None
