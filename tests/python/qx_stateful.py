"""An attacker's program against quendrix.core.enums.weekdays, run in this
fresh interpreter: one example of test_stateful.py, which draws the programs
with hypothesis and runs each in a child of its own (the module's state is
process-wide), so that hypothesis replays and shrinks them like any other
example and a crash is just a failing one.

A program is a list of steps, each a rule and its choices (JSON). The rules
interleave the module's life (imports, removal, reloads, failed imports,
sub-interpreters), the operations of the shared table (qx_ops: every
Python-reachable operation, the failed imports and the module's entry point
included, run on the objects of whichever import the step picks, as they
are or with one argument replaced by a hostile one), classes and members of
the machine's own and calls on them, mutation of what the module reads
(class registries, the shared type registry, its globals, the traceback
switch), collections, and finalizers that call back into it. A step whose rule does not apply yet is skipped.
Nothing may crash; no call may end in a SystemError; calls with one right
answer give it (an operation of the table: its outcome, while nothing it
depends on was tampered with).

With --threads N, N rival threads run random rules too, each on a machine of
its own, with no pause: outcomes then depend on the interleaving, so only a
crash, a hang or a SystemError fails the run; under a free-threaded
interpreter the GIL must still be off at the end. --leak-check (a debug
interpreter) runs instead a fixed tour of the rules in rounds: the total
reference count must not grow.

  qx_stateful.py (--program FILE | --leak-check | --serve)
                 [--first-import failed|main|subinterpreter] [--threads N] [--skip RULE,...]
                 [--hang SECONDS]

--serve runs the programs test_stateful.py sends, each in a child forked
from a process that never imported the module.
"""
import argparse
import collections
import copy
import enum
import faulthandler
import functools
import gc
import importlib
import json
import os
import pickle
import random
import re
import signal
import sys
import tempfile
import threading
import time
import traceback
import types

# The facts about the running interpreter (tests/interpreter_facts.py), and
# the table of operations the reliability checks run.
_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [_TESTS, os.path.join(_TESTS, "reliability")]
import interpreter_facts as facts  # noqa: E402
import qx_ops  # noqa: E402

NAME = "quendrix.core.enums.weekdays"
CHECKSUM = 0xD41D8CD
WRONG_CHECKSUM = "Incompatible checksums (1 vs 0xd41d8cd = ())"
REGISTRY = "_qx_shared_1_0"
MISSING = object()
GC_THRESHOLDS = gc.get_threshold()
OPERATIONS = qx_ops.op_names()
# Operations that give the function itself back, in any state.
SAME_FUNCTION = (".copy", ".deepcopy", ".weakref")
# Not with an argument replaced: the entry point's reference bookkeeping
# (and the test extension's helpers, below).
UNSUBSTITUTED = {"module.reentry"}
TEST_EXTENSIONS = ("_testcapi", "_testlimitedcapi")
IMPORT_FAILURES = [op.name for op in qx_ops.import_failure_ops()]


class World:
    """What the machine's steps share, as the module's own state does."""
    bases = []        # fallback base classes, from good and failed imports
    unpickles = []    # the unpickling function of successful imports
    survivors = []    # callables found in a failed import's frames
    weekdays = file = machine = first = None  # first: the first module imported here
    initialised = False  # the module initialised once in this process
    originals = {}    # (id, key) -> (object, key, value before the machine changed it)
    tampered = set()  # what makes the calls with one right answer differ
    faults = []
    skip = ()         # rules left out (--skip), e.g. to look past a known crash
    strict = True     # checks of outcomes apply (not with rival threads)
    rival_rounds = 0  # rule runs of the rival threads
    steps = callbacks = depth = 0
    step = None       # the step running, shown when it fails
    elsewhere = False  # a sub-interpreter runs on the main thread


def stop(text):
    """Ends the run at the first failure, naming the step."""
    print(f"FAILED at step {World.steps} {json.dumps(World.step)}: {text}", file=sys.stderr)
    sys.stderr.flush()
    sys.stdout.flush()
    os._exit(1)

def attempt(fn, *args, **kwargs):
    """(True, result) or (False, exception); a SystemError is a fault."""
    try:
        return True, fn(*args, **kwargs)
    except SystemError as exc:
        World.faults.append(f"SystemError: {exc}")
        return False, exc
    except Exception as exc:  # noqa: BLE001 - any other exception is a fair outcome
        return False, exc


def expect(condition, text):
    if World.strict and not condition:
        raise AssertionError(text)


def unraisable(info):
    if isinstance(info.exc_value, SystemError):
        World.faults.append(f"SystemError in {info.object!r}: {info.exc_value}")


def remember(obj, key):
    """Notes obj's key (an item of a dictionary, else an attribute) before
    the machine first changes it; teardown puts it back."""
    if key == "__dict__":
        value = dict(obj.__dict__)
    else:
        value = obj.get(key, MISSING) if isinstance(obj, dict) else getattr(obj, key, MISSING)
    World.originals.setdefault((id(obj), key), (obj, key, value))


def restore_all():
    # Copies: rival threads may change both while this runs.
    for obj, key, value in list(World.originals.values()):
        if isinstance(obj, dict):
            hostile = [k for k in list(obj) if type(k) is Hostile]
            for k in hostile:  # all tamed first: removing one compares it with the others
                k.tame()
            for k in hostile:
                del obj[k]
            obj.pop(key, None) if value is MISSING else obj.__setitem__(key, value)
        elif value is MISSING:
            attempt(delattr, obj, key)
        else:
            attempt(setattr, obj, key, value)
    World.originals.clear()
    World.tampered.clear()


# -- objects that call back ---------------------------------------------------------

def reenter():
    """One call back into the module, a different one each time."""
    m = World.machine
    # Not with rivals: a finalizer run inside the import system's lock
    # bookkeeping, importing again, deadlocks the import system itself.
    # Nor in a sub-interpreter: the module's functions there share its
    # owner's objects and so read the switch and namespace that this process
    # made hostile, but this machine's code must not run in an interpreter
    # it does not belong to (an import from here would put objects of that
    # interpreter, soon gone, into this one's sys.modules).
    if m is None or World.depth > 1 or not World.strict or World.elsewhere:
        return
    # The interpreter (3.11) refreshes a class's attribute cache only after an
    # assignment to the class has released the old value: a finalizer run by
    # that release would read the freed value from the cache.
    facts.clear_type_cache()
    World.depth += 1
    try:
        World.callbacks += 1
        attempt(CALLBACKS[World.callbacks % len(CALLBACKS)], m)
    finally:
        World.depth -= 1


CALLBACKS = (
    lambda m: m.unpickle_fn(0)(int, 1, None),
    lambda m: list(m.cls(0)),
    lambda m: m.cls(0)["A"],
    lambda m: m.cls(0)(1),
    lambda m: repr(m.cls(0)(1)),
    lambda m: type(m.cls(0)).__reduce__(m.cls(0)),
    lambda m: importlib.import_module(NAME),
)


class Finalizer:
    def __del__(self):
        reenter()


class Hostile:
    """Calls back into the module from each special method; a raising one
    then fails with an exception that carries a finalizer. Its hash is that
    of a name the module looks up, so as a dictionary key it is compared
    with that name."""

    def __init__(self, raising):
        self.raising, self.live = raising, True

    def tame(self):
        self.raising = self.live = False

    def _act(self, result):
        if self.live:
            reenter()
        if self.raising:
            raise LookupError(Finalizer())
        return result

    def __hash__(self):
        return hash("__qx_unpickle___Qx_EnumMeta")

    __eq__ = lambda self, other: self._act(False)  # noqa: E731
    __int__ = __index__ = lambda self: self._act(1)  # noqa: E731
    __bool__ = lambda self: self._act(True)  # noqa: E731
    __str__ = lambda self: self._act("hostile")  # noqa: E731


class Reentrant:
    """A class registry whose every method calls back into the module."""

    def values(self):
        reenter()
        return [1, Finalizer()]

    def __getitem__(self, key):
        reenter()
        raise KeyError(key)

    def __setitem__(self, key, value):
        reenter()




SUB_SCRIPTS = {
    "import": f"import {NAME}",
    "use": f"import {NAME} as w\nassert w.Weekdays(3) is w.Tuesday\n"
           "try:\n    w.__qx_unpickle___Qx_EnumMeta(int, 1, None)\n"
           f"except Exception as e:\n    assert str(e) == {WRONG_CHECKSUM!r}, e\n",
}
VALUES = ("one", "text", "none", "float", "huge", "pair", "finalizer", "raising", "reentrant",
          "class", "member")
FUNCTIONS = ("__new__", "__repr__", "__str__")
FN_ATTRS = ("__name__", "__qualname__", "__doc__", "__dict__", "__defaults__", "__kwdefaults__",
            "__annotations__", "__module__", "extra")
FITTING = {"__name__": "renamed", "__qualname__": "Q.renamed", "__doc__": "documented",
           "__module__": "elsewhere", "__defaults__": (1,)}  # others: a dict holding a finalizer


# -- rules ---------------------------------------------------------------------------

STEPS = {}


def depth():
    frame, n = sys._getframe(), 0
    while frame is not None:
        frame, n = frame.f_back, n + 1
    return n


def step(pre=None, leak=True, **choices):
    """A rule whose arguments come from the given choices; a failed check in
    it ends the run."""
    def wrap(fn):
        @functools.wraps(fn)
        def run(self, **kwargs):
            # A low recursion limit: exhausting it is then quick and shallow even
            # when each level's traceback entry calls back into the module.
            # Not with rivals: the limit is the whole interpreter's, and a
            # free-threaded one stops every thread to change it.
            limit = sys.getrecursionlimit()
            if World.strict:
                sys.setrecursionlimit(depth() + 150)
            try:
                fn(self, **kwargs)
            except SystemError:
                stop(traceback.format_exc())
            except Exception:  # noqa: BLE001 - a check of the rule failed
                # With rivals, another thread may have broken what the rule
                # uses (a failed import's sabotage, say).
                if World.strict:
                    stop(traceback.format_exc())
            finally:
                if World.strict:
                    sys.setrecursionlimit(limit)
        run.pre, run.choices, run.leak = pre, {k: list(v) for k, v in choices.items()}, leak
        run.applies = lambda m: fn.__name__ not in World.skip and (pre is None or pre(m))
        STEPS[fn.__name__] = run
        return run
    return wrap


def has_base(m):
    return bool(World.bases)


def has_class(m):
    return bool(m.classes)


def imported_here(m):
    return World.weekdays is not None


def plain_get(namespace, key, default=None):
    """namespace.get(key) among its str keys only: a hostile key of the same
    hash (module_globals) must not be compared by the machine's own reads."""
    return next((v for k, v in list(namespace.items()) if type(k) is str and k == key), default)


class GlobalsView:
    """A failed import's namespace seen as a module, for the operations."""

    def __init__(self, namespace):
        object.__setattr__(self, "_ns", namespace)

    def __getattr__(self, key):
        try:
            return self._ns[key]
        except KeyError:
            raise AttributeError(key) from None

    def __setattr__(self, key, value):
        self._ns[key] = value

    def __delattr__(self, key):
        try:
            del self._ns[key]
        except KeyError:
            raise AttributeError(key) from None


class Machine:
    def __init__(self):
        World.machine = self
        if World.strict:  # with rivals, garbage would pile up
            gc.disable()  # collections happen at steps, so that a run is the same each time
        self.mod = sys.modules.get(NAME)
        self.classes = []
        self.table = (None, {})  # (the objects it was built on, the operations by name)

    def cls(self, i):
        return self.classes[i % len(self.classes)] if self.classes else None

    def unpickle_fn(self, i):
        found = World.unpickles + World.survivors
        return found[i % len(found)] if found else None

    def function(self, name, i=0):
        base = World.bases[i % len(World.bases)]
        return vars(type(base)).get(name[5:]) if name.startswith("meta.") else vars(base).get(name)

    def member(self, K):
        found = [v for v in vars(K).values() if type(v) is K] if K is not None else []
        return found[0] if found else 1

    def value(self, name):
        if name == "finalizer":
            return Finalizer()
        if name in ("raising", "reentrant"):
            return Hostile(name == "raising")
        if name == "class":
            return self.cls(0)
        if name == "member":
            return self.member(self.cls(0))
        return {"one": 1, "text": "A", "none": None, "float": 1.5, "huge": 2**70, "pair": (1, 2)}[name]

    def adopt(self, mod):
        self.mod = mod
        fn = None if "globals" in World.tampered else vars(mod).get("__qx_unpickle___Qx_EnumMeta")
        if type(fn).__name__ != "builtin_function_or_method":
            return
        if not any(fn is f for f in World.unpickles):
            World.unpickles.append(fn)
        World.initialised = True
        if World.weekdays is None and isinstance(vars(mod).get("Weekdays"), enum.EnumMeta):
            World.weekdays, World.file, World.first = mod.Weekdays, mod.__file__, mod

    def paused_import(self, how=lambda: importlib.import_module(NAME), adopt=True):
        """The fallback class of a first initialisation lives only until the
        next collection: with the collector paused it is found."""
        was = gc.isenabled()
        gc.disable()
        try:
            ok, got = attempt(how)
            for c in int.__subclasses__():
                if c.__name__ == "__Qx_EnumBase" and not any(c is b for b in World.bases):
                    World.bases.append(c)
        finally:
            if was:
                gc.enable()
        if ok and adopt:
            self.adopt(got)
        return ok, got

    # -- the module's life
    @step(how=("leave", "import"))
    def start(self, how):
        """Mostly an import; left as it is, a module removed (or never
        imported) stays away for a while."""
        if how == "import":
            self.paused_import()

    @step(how=("import", "reload", "remove"))
    def life(self, how):
        if how == "import":
            self.paused_import()
        elif how == "reload" and self.mod is not None:
            ok, got = attempt(importlib.reload, self.mod)
            if ok:
                self.adopt(got)
        elif how == "remove":
            self.remove()

    def remove(self):
        sys.modules.pop(NAME, None)
        vars(sys.modules.get("quendrix.core.enums", types.SimpleNamespace())).pop("weekdays", None)
        self.mod = None


    @step(op=IMPORT_FAILURES)
    def failed_import(self, op):
        """Removed, then imported with something the initialisation needs
        broken (an import failure of the shared table). The callables in the
        failed initialisation's namespace are kept, to be called later."""
        self.remove()
        if "registry" in op and REGISTRY not in sys.modules:
            return  # not made yet: no import has come that far
        failure = {o.name: o for o in qx_ops.import_failure_ops()}[op]
        ok, call = attempt(failure.prepare)
        if not ok:  # what it breaks is broken already
            expect(World.originals, f"{op}: not prepared: {call!r}")
            return
        ok, exc = self.paused_import(lambda: qx_ops.perform(call), adopt=False)
        result, exc = exc if ok else (None, exc)
        ok = exc is None
        if ok:
            self.adopt(result)
        if isinstance(exc, SystemError):
            World.faults.append(f"SystemError: {exc}")
        # Once initialised, the module is not made again: the breakage is not
        # met. And the outcome is known only while nothing else is broken.
        checked = (not World.initialised or not ok) and not World.originals
        done, problem = attempt(qx_ops.finish, call, result, exc, failure)
        if checked:
            expect(done and problem is None, f"{op}: {problem if done else repr(problem)}")
        tb = None if ok else exc.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_name.startswith("init "):
                for v in list(tb.tb_frame.f_globals.values()):
                    if callable(v) and not any(v is s for s in World.survivors):
                        World.survivors.append(v)
            tb = tb.tb_next

    @step(pre=imported_here, script=sorted(SUB_SCRIPTS), leak=False)  # the interpreter's own leaks
    def subinterpreter(self, script):
        error = run_in_subinterpreter(SUB_SCRIPTS[script])
        expect(error is None or error.startswith(("ImportError", "ModuleNotFoundError")),
               f"sub-interpreter: {error}")

    # -- operations of the shared table
    def operations(self, on, base, which):
        """The shared table built on the objects of one import: the current
        one's, or a base class of any import (good or failed), its namespace
        and an unpickling function (or a failed import's survivor); with
        whether they are those of the module imported here. None when the
        base's namespace is gone."""
        B = World.bases[base % len(World.bases)]
        unpickle = self.unpickle_fn(which)
        if on == "current" and self.mod is not None:
            B = next((b for b in World.bases if getattr(vars(b).get("__new__"), "__globals__", None)
                      is vars(self.mod)), B)
            unpickle = plain_get(vars(self.mod), "__qx_unpickle___Qx_EnumMeta", unpickle)
        namespace = getattr(vars(B).get("__new__"), "__globals__", None)
        if not isinstance(namespace, dict):
            return None, False
        mod = self.mod if self.mod is not None and vars(self.mod) is namespace else GlobalsView(namespace)
        if self.table[0] != (B, mod, unpickle):
            qx_ops.bind(mod, B, unpickle)
            self.table = ((B, mod, unpickle), {o.name: o for o in qx_ops.table()})
        qx_ops.bind(mod, B, unpickle)
        current = (mod is World.first and sys.modules.get(NAME) is mod
                   and unpickle is plain_get(namespace, "__qx_unpickle___Qx_EnumMeta"))
        return self.table[1], current

    @step(pre=has_base, op=OPERATIONS, on=("current", "other"), base=range(2), which=range(3))
    def operation(self, op, on, base, which):
        """An operation of the shared table. Its outcome is checked when it
        runs on the objects of the module imported here, untouched."""
        table, current = self.operations(on, base, which)
        if table is None:
            return
        checked = (current and not World.tampered and sys.modules.get("qx_runtime") is not None
                   and sys.modules.get(REGISTRY) is not None)
        chosen = table[op]
        if not checked:
            ok, call = attempt(chosen.prepare)
            if ok:
                result, exc = qx_ops.perform(call)
                if isinstance(exc, SystemError):
                    World.faults.append(f"{op}: SystemError: {exc}")
                if op.endswith(SAME_FUNCTION) and call.check is not None:
                    # Whatever the function's import or attributes.
                    expect(exc is None and call.check(result), f"{op} gave {result!r} {exc!r}")
                attempt(qx_ops.finish, call, result, exc, chosen)
            return
        call = chosen.prepare()
        result, exc = qx_ops.perform(call)
        problem = qx_ops.finish(call, result, exc, chosen)
        expect(problem is None, f"{op}: {problem}")

    @step(pre=has_base, op=[o for o in OPERATIONS if o not in UNSUBSTITUTED], at=range(4),
          value=VALUES + ("state", "type_int", "type_object"), on=("current", "other"), base=range(2),
          which=range(3))
    def hostile_operation(self, op, at, value, on, base, which):
        """An operation of the shared table with one of its arguments in place
        of another: a hostile value, a class or member of the machine's, a
        state whose dictionary holds a finalizer, a type that is none of the
        module's. Only a crash or a SystemError counts."""
        table, _ = self.operations(on, base, which)
        if table is None:
            return
        chosen = table[op]
        ok, call = attempt(chosen.prepare)
        if not ok:
            return
        if getattr(call.fn, "__module__", None) in TEST_EXTENSIONS:
            # Their own errors on a wrong argument are no fault of the module's.
            attempt(qx_ops.finish, call, None, None, chosen)
            return
        # The argument replaced: a positional one, else a keyword's value.
        slots = len(call.args) + len(call.kwargs)
        if slots:
            new = {"state": lambda: ({"f": Finalizer()},), "type_int": lambda: int,
                   "type_object": lambda: object}.get(value, lambda: self.value(value))()
            i = at % slots
            if i < len(call.args):
                call.args = call.args[:i] + (new,) + call.args[i + 1:]
            else:
                call.kwargs = dict(call.kwargs)
                call.kwargs[list(call.kwargs)[i - len(call.args)]] = new
        result, exc = qx_ops.perform(call)
        if isinstance(exc, SystemError):
            World.faults.append(f"{op}: SystemError: {exc}")
        attempt(qx_ops.finish, call, result, exc, chosen)

    # -- attributes of the functions
    @step(pre=has_base, base=range(2), fn=FUNCTIONS, attr=FN_ATTRS, action=("get", "set", "delete", "fitting"),
          value=("none", "finalizer", "raising"))
    def function_attr(self, base, fn, attr, action, value):
        f = self.function(fn, base)
        if f is None or action == "get":
            attempt(getattr, f, attr)
            return
        remember(f, attr)
        World.tampered.add("functions")
        if action == "delete":
            attempt(delattr, f, attr)
        else:
            attempt(setattr, f, attr, FITTING.get(attr, {"f": Finalizer()}) if action == "fitting"
                    else self.value(value))


    # -- classes made with the metaclass
    @step(pre=has_base, base=range(2), how=("meta_call", "statement", "subclass", "no_base", "bare_new"))
    def make_class(self, base, how):
        B = World.bases[base % len(World.bases)]
        M = type(B)

        def statement():
            class K(B):
                pass
            return K

        # Either may fail on a failed import's class: its metaclass reads the
        # module's state as the last import attempt left it.
        ok, K = attempt({"statement": statement, "meta_call": lambda: M("K", (B,), {"__module__": __name__}),
                         "subclass": lambda: M("K", (self.cls(0) or B,), {}),
                         "no_base": lambda: M("E", (int,), {}),
                         "bare_new": lambda: M.__new__(M, "E", (int,), {})}[how])
        current = self.mod is not None and getattr(vars(B).get("__new__"), "__globals__", None) is vars(self.mod)
        expect(ok or not current or how not in ("meta_call", "statement") or World.tampered,
               f"a class of the current import: {K!r}")
        if ok and how in ("meta_call", "statement") and "functions" not in World.tampered:
            # A fresh class has one right behaviour (while __new__'s defaults are its own).
            a = K(1, "A")
            expect(K(1) is a and K["A"] is a and list(K) == [a] and K.A is a,
                   f"fresh class lookups: {K(1)!r} {list(K)!r}")
            expect(repr(a) == "<K.A: 1>" and str(a) == "K.A", f"member shown as {repr(a)} {str(a)}")
        if ok:
            self.classes = (self.classes + [K])[-6:]

    @step(pre=has_class, k=range(4), value=VALUES, name=("none", "A", "B", "number", "raising"))
    def add_member(self, k, value, name):
        name = {"none": None, "A": "A", "B": "B", "number": 3, "raising": Hostile(True)}[name]
        attempt(self.cls(k), self.value(value), name)

    @step(pre=has_class, k=range(4), key=VALUES,
          how=("getitem", "iter", "call", "len", "contains", "reduce", "reduce_attr", "setstate",
               "setstate_junk", "roundtrip", "dumps", "copy", "init_again", "repr_member",
               "str_member", "pickle_member", "rename_member"))
    def class_slot(self, k, how, key):
        K = self.cls(k)
        M, m, v = type(K), self.member(K), self.value(key)

        def roundtrip():
            f, args, state = M.__reduce__(K)
            return M.__setstate__(f(*args), *state)

        attempt({"getitem": lambda: K[v], "iter": lambda: list(K), "call": lambda: K(v), "len": lambda: len(K),
                 "contains": lambda: v in K, "reduce": lambda: M.__reduce__(K), "reduce_attr": lambda: K.__reduce__(),
                 "setstate": lambda: K.__setstate__(({"x": v},)), "setstate_junk": lambda: K.__setstate__(v),
                 "roundtrip": roundtrip, "dumps": lambda: pickle.dumps(K), "copy": lambda: copy.deepcopy(K),
                 "init_again": lambda: M.__init__(K, "K", (), {}), "repr_member": lambda: repr(m),
                 "str_member": lambda: str(m), "pickle_member": lambda: pickle.loads(pickle.dumps(m)),
                 "rename_member": lambda: setattr(m, "name", v)}[how])

    @step(pre=has_class, k=range(4), to=("self", "cycle", "reentrant", "finalizers", "list", "junk", "delete",
                                         "fresh"))
    def set_members(self, k, to):
        K = self.cls(k)
        if to == "delete":
            attempt(delattr, K, "__members__")
            return
        if to == "cycle":
            attempt(setattr, self.cls(k + 1), "__members__", K)
        new = {"self": lambda: K, "cycle": lambda: self.cls(k + 1), "reentrant": Reentrant,
               "finalizers": lambda: collections.OrderedDict(A=Finalizer()), "list": lambda: [1, Finalizer()],
               "junk": Finalizer, "fresh": collections.OrderedDict}[to]()
        attempt(setattr, K, "__members__", new)

    @step(pre=has_class, k=range(4))
    def drop_class(self, k):
        del self.classes[k % len(self.classes)]

    # -- what the module reads
    @step(action=("junk", "delete", "unregister", "none_in_sys_modules", "other_module", "restore"))
    def registry(self, action):
        if REGISTRY not in sys.modules and (id(sys.modules), REGISTRY) not in World.originals:
            return  # not made yet: no import has come that far
        remember(sys.modules, REGISTRY)
        reg = World.originals[(id(sys.modules), REGISTRY)][2]
        remember(reg, "qx_function_or_method")
        if action == "junk":
            reg.qx_function_or_method = Finalizer()
        elif action == "delete":
            vars(reg).pop("qx_function_or_method", None)
        elif action == "unregister":
            sys.modules.pop(REGISTRY, None)
        else:
            sys.modules[REGISTRY] = {"restore": reg, "none_in_sys_modules": None}.get(
                action, types.ModuleType(REGISTRY))

    @step(where=("module", "functions"), action=("drop_weekdays", "junk_weekdays", "drop_unpickle",
                                                  "junk_unpickle", "junk_package", "hostile_key",
                                                  "finalizer_value", "put_back"))
    def module_globals(self, where, action):
        """The module's namespace, and the one its functions see (another
        once the module was imported again)."""
        if where == "module":
            g = vars(self.mod) if self.mod is not None else None
        else:
            g = getattr(self.function("__new__"), "__globals__", None) if World.bases else None
        if g is None:
            return
        armed = [k for k in g if type(k) is Hostile and k.live]
        for k in armed:  # the machine's own edits must not trip them
            k.tame()
        for key in ("Weekdays", "__qx_unpickle___Qx_EnumMeta", "__package__", "qx_finalizer"):
            remember(g, key)
        World.tampered.add("globals")
        key = "Weekdays" if "weekdays" in action else "__qx_unpickle___Qx_EnumMeta"
        if action.startswith("drop"):
            g.pop(key, None)
        elif action.startswith("junk"):
            g[key] = Finalizer()
        elif action == "hostile_key":
            armed.append(Hostile(True))
            armed[-1].tame()
            g[armed[-1]] = Finalizer()
        elif action == "junk_package":  # read when the module imports relative to its package
            g["__package__"] = Hostile(True)
        elif action == "finalizer_value":
            g["qx_finalizer"] = Finalizer()
        else:  # stored anew, so after any hostile key of the same hash
            for key in ("Weekdays", "__qx_unpickle___Qx_EnumMeta"):
                original = World.originals[(id(g), key)][2]
                g.pop(key, None)
                if original is not MISSING:
                    g[key] = original
        for k in armed:
            k.raising = k.live = True

    @step(value=("true", "false", "absent", "seven", "raising", "reentrant", "finalizer", "runtime_gone"))
    def switch(self, value):
        """qx_runtime.impl_line_in_traceback, which each traceback entry of
        the module reads."""
        runtime = sys.modules.get("qx_runtime")
        if runtime is None:
            return
        remember(sys.modules, "qx_runtime")
        if value == "runtime_gone":
            del sys.modules["qx_runtime"]
            return
        remember(runtime, "impl_line_in_traceback")
        if value == "absent":
            vars(runtime).pop("impl_line_in_traceback", None)
            return
        runtime.impl_line_in_traceback = {"true": True, "false": False, "seven": 7, "raising": Hostile(True),
                                          "reentrant": Hostile(False), "finalizer": Finalizer()}[value]
        if value not in ("true", "false"):
            World.tampered.add("switch")

    # -- and the rest
    @step(how=("now", "eager", "off"))
    def collect(self, how):
        """A collection now, or from here on at almost every allocation."""
        if how == "now" or not World.strict:
            # With rivals the collector stays on, at its usual pace: paused
            # or eager, their garbage makes every collection crawl.
            gc.collect()
        else:
            gc.set_threshold(*((1,) if how == "eager" else GC_THRESHOLDS))
            gc.enable() if how == "eager" else gc.disable()

    @step()
    def answers(self):
        """The calls that have exactly one right answer."""
        W = World.weekdays
        if W is not None:
            expect(W(3) is W.Tuesday and [m.value for m in W] == list(range(1, 8)), "Weekdays lookups")
            expect(repr(W.Tuesday) == "<Weekdays.Tuesday: 3>" and str(W.Tuesday) == "3", repr(W.Tuesday))
            if (self.mod is not None and sys.modules.get(NAME) is self.mod and "globals" not in World.tampered
                    and vars(self.mod).get("Weekdays") is W):
                expect(pickle.loads(pickle.dumps(W.Friday)) is W.Friday, "a member pickles to itself")
        if World.tampered & {"globals", "switch"}:
            return
        for fn in World.unpickles:
            ok, exc = attempt(fn, int, 1, None)
            expect(not ok and type(exc) is pickle.PickleError and str(exc) == WRONG_CHECKSUM,
                   f"unpickling with a wrong checksum: {'returned' if ok else type(exc).__name__} {exc!r}")

    def no_faults(self):
        if World.faults:
            stop("\n".join(World.faults))

    def teardown(self):
        self.classes = []
        restore_all()
        World.machine = None
        gc.set_threshold(*GC_THRESHOLDS)
        gc.collect()


# -- driving --------------------------------------------------------------------------

def first_import(how):
    """The process's first import, which decides what the module binds to
    and whether a failed initialisation comes first."""
    if how == "failed":
        run_program([["failed_import", {"op": "import.int_enum_fails"}]])
    elif how == "subinterpreter":
        World.initialised = True
        run_in_subinterpreter(SUB_SCRIPTS["use"])


def before_the_module(tour):
    """The tour of every rule but the module's life: after a failed first
    import, the leftovers met before the module ever initialised."""
    life = ("start", "life", "failed_import", "subinterpreter")
    return [line for line in tour if line[0] not in life]


RIVAL_ROUNDS = 1500  # each rule run leaves objects in World: more, and collections crawl


def rival(seed, done, counts):
    """One rival thread: random rules, with random choices, on a machine of
    its own until done is set (at most RIVAL_ROUNDS). Only a SystemError
    counts (see no_faults)."""
    rng = random.Random(seed)
    m = Machine.__new__(Machine)
    m.mod, m.classes, m.table = sys.modules.get(NAME), [], (None, {})
    # Not the subinterpreter rule: sub-interpreters come and go on the main thread only.
    names = sorted(n for n in STEPS if n not in World.skip and n not in ("start", "subinterpreter"))
    rounds = 0
    while not done.is_set() and rounds < RIVAL_ROUNDS:
        if not gc.isenabled():  # a failed import pauses it; garbage must not pile up
            gc.enable()
        run = STEPS[rng.choice(names)]
        if run.pre is not None and not run.pre(m):
            if not m.classes:
                attempt(lambda: STEPS["make_class"].__wrapped__(m, base=0, how="meta_call"))
            continue
        kwargs = {k: rng.choice(v) for k, v in run.choices.items()}
        attempt(lambda: run.__wrapped__(m, **kwargs))
        rounds += 1
    counts.append(rounds)


def run_rivals(threads, fn):
    """Runs fn with that many rival threads alongside; returns fn's result."""
    done = threading.Event()
    counts = []
    workers = [threading.Thread(target=rival, args=(i, done, counts), daemon=True) for i in range(threads)]
    for w in workers:
        w.start()
    try:
        return fn()
    finally:
        done.set()
        for w in workers:
            w.join()
        World.strict = True
        World.rival_rounds = sum(counts)


def run_in_subinterpreter(source):
    """Runs source in a new sub-interpreter that loads modules the way the
    main one does (3.12 and 3.13 make isolated ones by default, which refuse
    single-phase modules outright), then destroys it. Returns None, or the
    error as "Type: message"."""
    World.elsewhere = True
    try:
        return _run_in_subinterpreter(source)
    finally:
        World.elsewhere = False


def _run_in_subinterpreter(source):
    try:
        import _interpreters as subs  # 3.13
    except ImportError:
        import _xxsubinterpreters as subs
        try:
            interp = subs.create(isolated=False)  # 3.12
        except TypeError:
            interp = subs.create()
        try:
            subs.run_string(interp, source)
        except subs.RunFailedError as exc:
            # "<class 'ImportError'>: message"
            return re.sub(r"^<class '(?:\w+\.)*(\w+)'>: ", r"\1: ", str(exc))
        finally:
            subs.destroy(interp)
        return None
    interp = subs.create(subs.new_config("legacy"))
    try:
        error = subs.run_string(interp, source)
    finally:
        subs.destroy(interp)
    return None if error is None else error.formatted



def run_program(lines, threads=0):
    """Runs the steps on one machine, with that many rival threads alongside;
    a step whose rule does not apply (yet) is skipped. The teardown waits for
    the rivals: one may arm again a hostile key that the teardown has tamed
    to remove it."""
    World.strict = threads == 0  # read by Machine(), as by the steps
    machine = Machine()

    def steps():
        for name, kwargs in lines:
            run = STEPS[name]
            World.steps += 1
            World.step = [name, kwargs]
            if run.applies(machine):
                run(machine, **kwargs)
                machine.no_faults()
        World.step = None

    run_rivals(threads, steps)
    machine.teardown()
    gc.collect()
    Machine.no_faults(None)


def leak_tour():
    """Each rule with each of its choices at least once, in a fixed order."""
    tour = []
    for name, run in STEPS.items():
        width = max([len(c) for c in run.choices.values()] + [1])
        if run.leak:
            tour += [[name, {k: c[i % len(c)] for k, c in run.choices.items()}] for i in range(width)]
    return tour


def leak_check(warmup=3, counted=4, slack=10):
    """Runs the tour in rounds; returns the figures and whether the total
    reference count grew: in every counted round, or by more than the slack
    over all of them."""
    tour = leak_tour()
    deltas = [0] * counted  # written in place: the bookkeeping holds no more after a round
    before = 0
    for i in range(warmup + counted):
        World.callbacks = 0
        run_program(tour)
        facts.clear_type_cache()
        gc.collect()
        gc.collect()
        now = sys.gettotalrefcount()
        if i >= warmup:
            deltas[i - warmup] = now - before
        before = now
    line = (f"reference check: tour of {len(tour)} steps, {warmup} warm-up + {counted} counted rounds, "
            f"total reference count change per round {deltas}")
    return line, all(d > 0 for d in deltas) or sum(deltas) > slack


def run(args, program):
    """One run in this process; returns the exit status."""
    faulthandler.enable()
    faulthandler.dump_traceback_later(args.hang, exit=True)  # shows where it hangs, then exits 1
    sys.unraisablehook = unraisable
    qx_ops.on_release = reenter
    World.skip = tuple(filter(None, args.skip.split(",")))
    first_import(args.first_import)
    if args.leak_check:
        gc.collect()
        gc.enable()
        line, leaking = leak_check()
        print(line + ("; GROWING" if leaking else ""))
        return 1 if leaking else 0
    run_program(program, args.threads)
    if facts.FREE_THREADED and facts.gil_enabled():
        stop("the GIL is on after the run")
    gc.collect()
    Machine.no_faults(None)
    rivals = (f", {args.threads} rival threads ({World.rival_rounds} rule runs"
              f"{', GIL off' if facts.FREE_THREADED else ''})" if args.threads else "")
    print(f"{len(program)} steps ({World.steps} run), first import {args.first_import}{rivals}")
    return 0


def serve(parser):
    """Runs programs read from stdin, one JSON request a line ({"program":
    [...], "options": [...]}), each in a child forked from this process,
    which never imports the module: a fresh interpreter's state at the cost
    of a fork. Answers each with one JSON line: the child's exit status (a
    negative signal number when it was killed) and its output."""
    for line in sys.stdin:
        request = json.loads(line)
        args = parser.parse_args(request["options"])
        with tempfile.TemporaryFile("w+") as out:
            sys.stdout.flush()
            sys.stderr.flush()
            pid = os.fork()
            if pid == 0:  # the child: its output to the file, never back to the loop
                code = 1
                try:
                    os.dup2(out.fileno(), 1)
                    os.dup2(out.fileno(), 2)
                    code = run(args, request["program"])
                except BaseException:  # noqa: BLE001 - reported through the output
                    traceback.print_exc()
                sys.stdout.flush()
                sys.stderr.flush()
                # Not finalized: what the interpreter makes anew after a fork
                # (3.11: its locks) is never freed, so a leak check at the
                # child's exit would report only that. The leak check of a
                # sanitized build sees test_stateful's tour, run on its own.
                os._exit(code)
            status = wait(pid, args.hang + 30)
            out.seek(0)
            output = out.read()
        print(json.dumps({"status": status, "output": output[-20000:]}), flush=True)
    return 0


def wait(pid, timeout):
    """The child's exit status, or minus the signal that ended it; killed
    (SIGKILL) when it outlives the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        time.sleep(0.002)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--program", help="a JSON file: the list of [rule, choices] steps")
    p.add_argument("--serve", action="store_true", help="run programs read from stdin, each in a forked child")
    p.add_argument("--leak-check", action="store_true", help="the tour of the rules in rounds (debug builds)")
    p.add_argument("--first-import", choices=("failed", "main", "subinterpreter"), default="failed")
    p.add_argument("--skip", default="", help="rules to leave out, comma-separated")
    p.add_argument("--hang", type=float, default=600, help="seconds after which the run counts as hung")
    p.add_argument("--threads", type=int, default=0, help="rival threads running the rules alongside")
    args = p.parse_args(argv)
    if args.serve:
        return serve(p)
    program = []
    if args.program:
        with open(args.program) as f:
            program = json.load(f)
    return run(args, program)


if __name__ == "__main__":
    sys.exit(main())
