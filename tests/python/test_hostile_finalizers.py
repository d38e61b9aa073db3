"""Finalizers that resurrect the module's function objects or classes built
with its metaclass, or read their attributes while the garbage collector
takes them; and module-held objects that Python code drops from sys.modules.
Nothing may crash, and what was resurrected must keep working."""
import gc
import weakref

import interpreter_facts as facts
from conftest import run_fresh


class Resurrector:
    """Sits in a reference cycle with `target`; its finalizer reads the target
    through `read`, records what it saw and keeps the target alive."""

    saved = []

    def __init__(self, target, read):
        self.target, self.read = target, read
        self.cycle = self

    def __del__(self):
        Resurrector.saved.append((self.target, self.read(self.target)))


def read_class(cls):
    """Everything the metaclass serves, read from within a finalizer."""
    members = cls.__members__
    return (dict(members), list(cls), cls["A"] if "A" in members else None,
            type(cls).__reduce__(cls)[1], [repr(m) for m in members.values()])


def collect_twice_and_check(make):
    """Builds a class in garbage with a finalizer, collects it, checks the
    resurrected class, then lets it go for good. (The collector may clear
    weak references to its garbage before finalizers run, so the resurrected
    class is watched through a weak reference made afterwards.)"""
    Resurrector.saved.clear()
    make()
    gc.collect()
    assert len(Resurrector.saved) == 1, "the finalizer ran once"
    cls, seen = Resurrector.saved[0]
    members, listed, a, reduced, reprs = seen
    assert list(members) == ["A"] and listed == [cls.A] and a is cls.A and reprs == ["<C.A: 1>"]
    assert reduced[1:] == (0xD41D8CD, None)
    # Still a working class after the collection.
    assert cls(1) is cls.A and list(cls) == [cls.A]
    assert cls(2, "B").name == "B" and cls["B"] == 2 and repr(cls.B) == "<C.B: 2>"
    ref = weakref.ref(cls)
    Resurrector.saved.clear()
    del cls, seen, a, members, listed
    gc.collect()
    assert ref() is None and Resurrector.saved == []  # freed; no second finalization


def test_class_resurrected_by_a_finalizer_in_its_cycle(enum_base):
    def make():
        class C(enum_base):
            pass

        C(1, "A")
        C.keeper = Resurrector(C, read_class)

    collect_twice_and_check(make)


def test_class_of_a_metaclass_with_a_finalizer(enum_base, enum_meta):
    class Meta(enum_meta):
        def __del__(cls):
            Resurrector.saved.append((cls, read_class(cls)))

    def make():
        C = Meta("C", (enum_base,), {})
        C(1, "A")

    collect_twice_and_check(make)


def test_class_resurrected_after_its_weak_references_were_cleared(enum_base):
    seen = []

    def make():
        class C(enum_base):
            pass

        C(1, "A")
        C.watcher = Resurrector(C, read_class)
        return weakref.ref(C, lambda r: seen.append(r() is None))

    ref = make()
    collect_twice_and_check(lambda: None)
    # The callback ran in the first collection, before the resurrection.
    assert ref() is None and seen == [True]


# The fallback base and its three function objects are released by the
# module at import and live on only through their own cycles, which the
# shared test session keeps alive; so these run in fresh interpreters.
FIND_BASE = """
import gc, weakref
gc.disable()
import quendrix.core.enums.weekdays as w
base = next(c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase")
functions = [base.__dict__[k] for k in ("__new__", "__repr__", "__str__")]
"""

READ_FUNCTION = """
def read_function(f):
    f.__dict__["seen"] = True
    return (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__defaults__,
            f.__kwdefaults__, dict(f.__annotations__), f.__globals__ is vars(w),
            f.__code__.co_name, f.__closure__, f.__self__, repr(f).split(" at ")[0],
            f.__reduce__())
"""


def test_function_objects_resurrected_by_a_finalizer():
    keeps_plain = "keeps_plain_refs = %r\n" % facts.KEEPS_PLAIN_WEAKREFS_TO_RESURRECTED_GARBAGE
    run_fresh(FIND_BASE + READ_FUNCTION + keeps_plain + """
saved, callbacks = [], []

class Reader:
    def __init__(self, objects):
        self.objects = objects
    def __del__(self):
        cls, funcs = self.objects
        class K(cls):
            pass
        member = K(1, "A")
        saved.append((cls, funcs, [read_function(f) for f in funcs],
                      (repr(member), str(member), K(1) is member)))

# The finalizer sits in the class's cycle; each function has a weak
# reference with a callback and a finalizer of its own in its __dict__.
base.reader = Reader((base, functions))
refs = [weakref.ref(f, callbacks.append) for f in functions]
for f in functions:
    f.__dict__["reader"] = Reader((base, [f]))
base_ref = weakref.ref(base)
del base, functions, f
gc.enable()
gc.collect()
assert len(saved) == 4, len(saved)
# Weak references to garbage with a callback are cleared (callbacks run)
# before finalizers; one without, where the interpreter keeps those of
# resurrected objects, still gives the class back.
assert len(callbacks) == 3 and all(r() is None for r in refs)
cls, funcs, info, member = saved[0]
assert base_ref() is (cls if keeps_plain_refs else None)
assert member == ("<K.A: 1>", "K.A", True), member
assert [i[0] for i in info] == ["__new__", "__repr__", "__str__"], info
assert info[0][1:5] == ("__Qx_EnumBase.__new__", "EnumBase", None, (None,)), info[0]
assert info[0][5:] == (None, {}, True, "__new__", None, None, "<qxfunction __Qx_EnumBase.__new__",
                       "__new__"), info[0]
# The resurrected objects still work.
class K(cls):
    pass
assert K(2, "B").name == "B" and repr(K.B) == "<K.B: 2>" and str(K.B) == "K.B"
assert funcs[1](K.B) == "<K.B: 2>" and funcs[2].seen is True
# Let everything go for good: no finalizer runs twice.
refs = [weakref.ref(cls)] + [weakref.ref(f) for f in funcs]
del saved[:], cls, funcs, info, member, K
gc.collect()
assert all(r() is None for r in refs) and saved == []
print("ok")
""")


def test_function_objects_read_while_collected_without_resurrection():
    run_fresh(FIND_BASE + READ_FUNCTION + """
seen = []

class Reader:
    def __init__(self, funcs):
        self.funcs = funcs
    def __del__(self):
        seen.append([read_function(f) for f in self.funcs])
        for f in self.funcs:  # attributes written while being collected
            f.__dict__.clear()
            f.__doc__ = "late"
            f.__annotations__ = {"late": 1}

base.reader = Reader(functions)
base_ref = weakref.ref(base)
del base, functions
gc.enable()
gc.collect()
assert len(seen) == 1 and len(seen[0]) == 3
assert base_ref() is None
print("ok")
""")


def test_runtime_module_dropped_from_sys_modules():
    # The module keeps qx_runtime (the switch of implementation lines) for
    # every later traceback entry, even when sys.modules lets go of it.
    run_fresh("""
import gc, pickle, sys
import quendrix.core.enums.weekdays as w
runtime = sys.modules.pop("qx_runtime")
runtime.impl_line_in_traceback = True
del runtime
gc.collect()
junk = [bytearray(72) for _ in range(20000)]  # reuse whatever was freed
for _ in range(3):
    try:
        w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
    except pickle.PickleError as exc:
        tb = exc.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        name = tb.tb_frame.f_code.co_name
    else:
        raise AssertionError("no PickleError")
# The switch still lives on the module the entries read.
assert name.startswith("EnumBase.__qx_unpickle___Qx_EnumMeta (quendrix/core/enums/weekdays"), name
print("ok")
""")
