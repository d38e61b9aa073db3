"""An attacker's state machine for quendrix.core.enums.weekdays.

Hypothesis interleaves the module's life (imports, removal, reloads, failed
imports, sub-interpreters, its entry point called again), calls of all that
Python reaches with right and wrong arguments, mutation of what the module
reads (class registries, the shared type registry, its globals, the
traceback switch), collections, and finalizers that call back into it.
Nothing may crash; no call may end in a SystemError; calls with one right
answer give it; under the debug interpreter a fixed tour of the rules,
repeated, leaves the total reference count where it was.

The module's state is process-wide, so each example starts where the last
one left it, and hypothesis cannot replay an example to shrink it. Instead
each step is written to the trace before it runs: --replay runs a trace
again without hypothesis, and --shrink cuts it down to a shortest sequence
that still fails the same way (crash or failed check).

With --threads N, N rival threads run the rules too, each on a machine of
its own, with random choices and no pause, while hypothesis drives the main
one: imports, failed imports, calls, attribute stores and class changes
from several threads at once. Outcomes then depend on the interleaving, so
only a crash, a hang or a SystemError fails the run; under a free-threaded
interpreter the GIL must still be off at the end.

  qx_stateful.py [--examples N] [--steps M] [--seed S] [--trace FILE]
                 [--first-import failed|main|subinterpreter] [--skip RULE,...]
                 [--threads N]
  qx_stateful.py --replay FILE | --shrink FILE
"""
import argparse
import collections
import copy
import ctypes
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
import subprocess
import sys
import tempfile
import threading
import traceback
import types
import weakref

import hypothesis
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule, run_state_machine_as_test)

# The facts about the running interpreter (tests/interpreter_facts.py).
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import interpreter_facts as facts  # noqa: E402

NAME = "quendrix.core.enums.weekdays"
CHECKSUM = 0xD41D8CD
WRONG_CHECKSUM = "Incompatible checksums (1 vs 0xd41d8cd = ())"
REGISTRY = "_qx_shared_1_0"
MISSING = object()
GC_THRESHOLDS = gc.get_threshold()
REAL_INT_ENUM = enum.IntEnum


class World:
    """What outlives an example, as the module's own state does."""
    bases = []        # fallback base classes, from good and failed imports
    unpickles = []    # the unpickling function of successful imports
    survivors = []    # callables found in a failed import's frames
    weekdays = file = machine = trace = None
    originals = {}    # (id, key) -> (object, key, value before the machine changed it)
    tampered = set()  # what makes the calls with one right answer differ
    faults = []
    current = []      # this example's steps
    skip = ()         # rules left out (--skip), e.g. to look past a known crash
    strict = True     # checks of outcomes apply (not with rival threads)
    rival_rounds = 0  # rule runs of the rival threads
    examples = steps = callbacks = depth = 0


def stop(text):
    """Ends the run at the first failure, showing the example's steps."""
    print(f"FAILED: {text}\nsteps of this example:", file=sys.stderr)
    for line in World.current:
        print("  ", json.dumps(line), file=sys.stderr)
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
    if m is None or World.depth > 1 or not World.strict:
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


def refuse(*args, **kwargs):
    raise LookupError(Finalizer())


def without_saturday(*args, **kwargs):
    return types.SimpleNamespace(**{m.name: m for m in REAL_INT_ENUM(*args, **kwargs) if m.value != 7})


SABOTAGE = {  # what a failed import is made with: (where, key, replacement)
    "int_enum_raises": (lambda: enum, "IntEnum", refuse),
    "int_enum_missing": (lambda: enum, "IntEnum", MISSING),
    "last_member_missing": (lambda: enum, "IntEnum", without_saturday),
    "no_ordered_dict": (lambda: collections, "OrderedDict", MISSING),
    "enum_unimportable": (lambda: sys.modules, "enum", None),
    "registry_junk": (lambda: sys.modules.get(REGISTRY), "qx_function_or_method", 1),
}
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
PARAMETERS = {"unpickle": ("__qx_type", "__qx_checksum", "__qx_state"),
              "meta.__init__": ("name", "parents", "dct")}

# -- rules ---------------------------------------------------------------------------

STEPS = {}


def record(*line):
    World.steps += 1
    if line == ("example",):
        World.current = []
    World.current.append(line)
    if World.trace is not None:
        World.trace.write(json.dumps(line) + "\n")
        World.trace.flush()


def depth():
    frame, n = sys._getframe(), 0
    while frame is not None:
        frame, n = frame.f_back, n + 1
    return n


def step(pre=None, kind=rule, leak=True, **choices):
    """A rule whose arguments come from the given choices; each call is
    traced before it runs, and a failed check in it ends the run."""
    def wrap(fn):
        @functools.wraps(fn)
        def run(self, **kwargs):
            record(fn.__name__, kwargs)
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
        STEPS[fn.__name__] = run
        made = kind(**{k: st.sampled_from(v) for k, v in run.choices.items()})(run)
        if kind is initialize:
            return made
        return precondition(lambda m: fn.__name__ not in World.skip and (pre is None or pre(m)))(made)
    return wrap


def has_base(m):
    return bool(World.bases)


def has_class(m):
    return bool(m.classes)


def imported_here(m):
    return World.weekdays is not None


class StatefulAttack(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        World.examples += 1
        World.machine = self
        if World.strict:  # with rivals, garbage would pile up
            gc.disable()  # collections happen at steps, so that a replay meets them where the run did
        self.mod = sys.modules.get(NAME)
        self.classes = []
        record("example")

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
        if World.weekdays is None and isinstance(vars(mod).get("Weekdays"), enum.EnumMeta):
            World.weekdays, World.file = mod.Weekdays, mod.__file__

    def paused_import(self):
        """The fallback class of a first initialisation lives only until the
        next collection: with the collector paused it is found."""
        was = gc.isenabled()
        gc.disable()
        try:
            ok, got = attempt(importlib.import_module, NAME)
            for c in int.__subclasses__():
                if c.__name__ == "__Qx_EnumBase" and not any(c is b for b in World.bases):
                    World.bases.append(c)
        finally:
            if was:
                gc.enable()
        if ok:
            self.adopt(got)
        return ok, got

    # -- the module's life
    @step(kind=initialize, how=("leave", "import"))
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

    @step(sabotage=sorted(SABOTAGE))
    def failed_import(self, sabotage):
        """Removed, then imported with something the initialisation needs
        broken. The callables in the failed initialisation's namespace are
        kept, to be called later."""
        self.remove()
        where, key, replacement = SABOTAGE[sabotage]
        target = where()
        if target is None:
            return
        target = target if isinstance(target, dict) else vars(target)
        old = target.get(key, MISSING)
        target.pop(key, None) if replacement is MISSING else target.__setitem__(key, replacement)
        try:
            ok, exc = self.paused_import()
        finally:
            target.pop(key, None) if old is MISSING else target.__setitem__(key, old)
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

    @step(pre=imported_here)
    def entry_point(self):
        init = ctypes.PyDLL(World.file).PyInit_weekdays
        init.restype = ctypes.c_void_p
        ok, address = attempt(init)
        if ok and address:
            module = ctypes.cast(address, ctypes.py_object).value
            ctypes.pythonapi.Py_DecRef(ctypes.py_object(module))  # the entry point's reference
            expect(isinstance(module, types.ModuleType), f"entry point gave {type(module)}")

    # -- calls
    @step(pre=lambda m: bool(World.unpickles or World.survivors), which=range(3),
          ty=("meta", "int", "object", "class"),
          checksum=("right", "one", "negative", "overflow", "text", "float", "raising", "reentrant"),
          state=("none", "empty", "dict", "finalizers", "list", "junk"))
    def unpickle(self, which, ty, checksum, state):
        ty = {"meta": type(World.bases[0]) if World.bases else type, "int": int, "object": object,
              "class": self.cls(0)}[ty]
        checksum = {"right": CHECKSUM, "one": 1, "negative": -5, "overflow": 2**31, "text": "x",
                    "float": 1.5, "raising": Hostile(True), "reentrant": Hostile(False)}[checksum]
        state = {"none": lambda: None, "empty": tuple, "dict": lambda: ({"a": 1},),
                 "finalizers": lambda: ({"f": Finalizer()},), "list": lambda: [Finalizer()],
                 "junk": lambda: (Finalizer(),)}[state]()
        attempt(self.unpickle_fn(which), ty, checksum, state)

    @step(pre=has_base, fn=FUNCTIONS + ("unpickle", "meta.__init__", "meta.__new__", "meta.__reduce__",
                                        "meta.__setstate__"),
          shape=("nothing", "member", "two", "five", "class_value", "bogus_keyword", "duplicate_keyword",
                 "keywords_only"))
    def call(self, fn, shape):
        f = self.unpickle_fn(0) if fn == "unpickle" else self.function(fn)
        K = self.cls(0) or World.bases[0]
        m = self.member(K)
        names = PARAMETERS.get(fn, ("cls", "value", "name"))
        args, kwargs = {"nothing": ((), {}), "member": ((m,), {}), "two": ((m, m), {}),
                        "five": ((K, 1, "A", 4, 5), {}), "class_value": ((K, 1), {}),
                        "bogus_keyword": ((K, 1), {"bogus": Finalizer()}),
                        "duplicate_keyword": ((K, 1), {names[1]: 2}),
                        "keywords_only": ((), dict(zip(names, (K, 1, None))))}[shape]
        attempt(f, *args, **kwargs)

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

    @step(pre=has_base, fn=FUNCTIONS, how=("bind_member", "bind_none", "bind_int", "call_bound", "repr",
                                           "reduce", "reduce_ex", "copy", "deepcopy", "pickle", "weakref",
                                           "instantiate_type"))
    def function_use(self, fn, how):
        f = self.function(fn)
        K = self.cls(0) or World.bases[0]
        m = self.member(K)
        ok, r = attempt({"bind_member": lambda: f.__get__(m, K), "bind_none": lambda: f.__get__(None, K),
                         "bind_int": lambda: f.__get__(5, int), "call_bound": lambda: f.__get__(m, K)(),
                         "repr": lambda: repr(f), "reduce": lambda: f.__reduce__(),
                         "reduce_ex": lambda: f.__reduce_ex__(2), "copy": lambda: copy.copy(f),
                         "deepcopy": lambda: copy.deepcopy(f), "pickle": lambda: pickle.dumps(f),
                         "weakref": lambda: weakref.ref(f)(), "instantiate_type": lambda: type(f)()}[how])
        if how in ("copy", "deepcopy", "weakref"):
            expect(ok and r is f, f"{how} of a function gave {r!r}")

    # -- classes made with the metaclass
    @step(pre=has_base, base=range(2), how=("meta_call", "statement", "subclass", "no_base", "bare_new"))
    def make_class(self, base, how):
        B = World.bases[base % len(World.bases)]
        M = type(B)
        if how == "statement":
            class K(B):
                pass
            ok = True
        else:
            ok, K = attempt({"meta_call": lambda: M("K", (B,), {"__module__": __name__}),
                             "subclass": lambda: M("K", (self.cls(0) or B,), {}),
                             "no_base": lambda: M("E", (int,), {}),
                             "bare_new": lambda: M.__new__(M, "E", (int,), {})}[how])
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

    @invariant()
    def no_faults(self):
        if World.faults:
            stop("\n".join(World.faults))

    def teardown(self):
        record("teardown")
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
        # The only time a failed initialisation's leftovers meet a module that
        # never initialised: every rule but the module's life runs once.
        life = ("start", "life", "failed_import", "subinterpreter", "entry_point")
        replay([["failed_import", {"sabotage": "int_enum_raises"}]]
               + [line for line in leak_tour() if line[0] not in life])
    elif how == "subinterpreter":
        record("first_import", {"how": how})
        run_in_subinterpreter(SUB_SCRIPTS["use"])


RIVAL_ROUNDS = 1500  # each rule run leaves objects in World: more, and collections crawl


def rival(seed, done, counts):
    """One rival thread: random rules, with random choices, on a machine of
    its own until done is set (at most RIVAL_ROUNDS). Only a SystemError
    counts (see no_faults)."""
    rng = random.Random(seed)
    m = StatefulAttack.__new__(StatefulAttack)
    m.mod, m.classes = sys.modules.get(NAME), []
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
    World.strict = threads == 0
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


def replay(lines):
    machine = None
    for name, *rest in lines:
        if name in ("example", "teardown"):
            if machine is not None:
                machine.teardown()
            machine = None
            continue
        if name == "first_import":
            first_import(**rest[0])
            continue
        machine = machine or StatefulAttack()
        run = STEPS[name]
        if run.pre is None or run.pre(machine):
            run(machine, **rest[0])
            machine.no_faults()
    if machine is not None:
        machine.teardown()
    gc.collect()
    StatefulAttack.no_faults(None)


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
        replay(tour)
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


def verdict(lines):
    """Replays lines in a fresh interpreter: "crash", "hang", "failure" or None."""
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
        f.write("".join(json.dumps(line) + "\n" for line in lines))
    try:
        proc = subprocess.run([sys.executable, "-X", "faulthandler", os.path.abspath(__file__), "--replay", f.name,
                               "--hang", "60"], capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    finally:
        os.unlink(f.name)
    verdict.stderr = proc.stderr
    if "most recent call first" in proc.stderr and "Timeout (" in proc.stderr:
        return "hang"
    if proc.returncode < 0 or "Fatal Python error" in proc.stderr:
        return "crash"
    return "failure" if proc.returncode else None


def shrink(path):
    """Drops ever smaller runs of lines while the replay still fails the same way."""
    with open(path) as f:
        lines = [json.loads(line) for line in f]
    kind = verdict(lines)
    print(f"{len(lines)} trace lines: {kind or 'no failure'}", flush=True)
    if kind is None:
        return 1
    chunks = 2
    while len(lines) > 1:
        size = -(-len(lines) // chunks)
        for i in range(0, len(lines), size):
            if verdict(lines[:i] + lines[i + size:]) == kind:
                lines, chunks = lines[:i] + lines[i + size:], max(chunks - 1, 2)
                break
        else:
            if size == 1:
                break
            chunks = min(len(lines), chunks * 2)
    verdict(lines)
    print(f"shortest {kind} found, {len(lines)} lines:\n" + "\n".join("  " + json.dumps(line) for line in lines))
    print(verdict.stderr[-3000:])
    return 0


def main(argv=None):
    env = os.environ.get
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--examples", type=int, default=int(env("QX_STATEFUL_EXAMPLES", "150")))
    p.add_argument("--steps", type=int, default=int(env("QX_STATEFUL_STEPS", "50")))
    p.add_argument("--seed", type=int, default=int(env("QX_STATEFUL_SEED", "20261208")))
    p.add_argument("--first-import", choices=("failed", "main", "subinterpreter"), default="failed")
    p.add_argument("--skip", default="", help="rules to leave out, comma-separated")
    p.add_argument("--hang", type=float, default=600, help="seconds after which the run counts as hung")
    p.add_argument("--threads", type=int, default=0, help="rival threads running the rules alongside")
    p.add_argument("--trace")
    p.add_argument("--replay")
    p.add_argument("--shrink")
    args = p.parse_args(argv)
    faulthandler.enable()
    sys.unraisablehook = unraisable
    World.skip = tuple(filter(None, args.skip.split(",")))
    if args.shrink:
        return shrink(args.shrink)
    faulthandler.dump_traceback_later(args.hang, exit=True)  # shows where it hangs, then exits 1
    if args.replay:
        with open(args.replay) as f:
            replay([json.loads(line) for line in f])
        return 0
    if args.trace:
        World.trace = open(args.trace, "w")
    first_import(args.first_import)
    World.examples = 0
    profile = settings(max_examples=args.examples, stateful_step_count=args.steps, deadline=None, database=None,
                       derandomize=False, print_blob=False, phases=[Phase.generate],
                       suppress_health_check=list(HealthCheck))
    run_rivals(args.threads, lambda: run_state_machine_as_test(hypothesis.seed(args.seed)(StatefulAttack),
                                                               settings=profile))
    examples, steps = World.examples, World.steps
    free_threaded = facts.FREE_THREADED
    if free_threaded and facts.gil_enabled():
        stop("the GIL is on after the run")
    World.trace = None
    gc.collect()
    StatefulAttack.no_faults(None)
    gc.enable()
    leaking = False
    if facts.DEBUG_BUILD:
        line, leaking = leak_check()
        print(line + ("; GROWING" if leaking else ""))
    rivals = (f", {args.threads} rival threads ({World.rival_rounds} rule runs"
              f"{', GIL off' if free_threaded else ''})" if args.threads else "")
    print(f"stateful attack: {len(STEPS)} rules, {examples} examples run, up to {args.steps} steps per example "
          f"({steps} steps in all), seed {args.seed}, first import {args.first_import}{rivals}; {sys.executable}")
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main())
