"""The operations that the reliability checks run: every Python-reachable
operation of quendrix.core.enums.weekdays, on its success path and on each
failure path that Python code can reach.

An operation is one call. Op.prepare() builds what the call needs and
returns a Call; the checking code then makes the call itself, directly from
its own frame, so that nothing runs between the checker and the module but
the module (and whatever Python code the module calls back). Call.cleanup
puts back whatever the call or its preparation changed; Call.check, when
given, verifies the result of a call that succeeded.

The private classes are reached as the Python tests reach them: the module
is imported with the garbage collector paused, so that the fallback class
__Qx_EnumBase, which the module drops once IntEnum replaces it, is still
there among int.__subclasses__(); its type is the metaclass __Qx_EnumMeta.
"""
import builtins
import collections
import copy
import ctypes
import enum
import gc
import importlib
import operator
import os
import pickle
import sys
import types
import warnings
import weakref

# The facts about the running interpreter (tests/interpreter_facts.py).
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import interpreter_facts as facts  # noqa: E402

NAME = "quendrix.core.enums.weekdays"
CHECKSUM = 222419149


# _keep_frame: a Python function that calls the module makes its frame object
# first. The interpreter (3.11) makes a caller's frame object lazily while an
# exception leaves a callee; if that allocation fails it clears the error
# being propagated and the call returns NULL without one. The allocation
# failure checks must not trip over that fault of the interpreter's.


class Call:
    __slots__ = ("fn", "args", "kwargs", "cleanup", "check")

    def __init__(self, fn, *args, **kwargs):
        self.fn, self.args, self.kwargs = fn, args, kwargs
        self.cleanup = None
        self.check = None

    def then(self, cleanup):
        self.cleanup = cleanup
        return self

    def verify(self, check):
        self.check = check
        return self


class Op:
    __slots__ = ("name", "prepare", "outcome", "converted")

    def __init__(self, name, prepare, outcome=None, converted=()):
        # outcome: None when the call succeeds, else the exception class it
        # raises (exactly that class). converted: exception classes that the
        # interpreter's own code raises in place of a MemoryError on this
        # path (not the module's doing).
        self.name, self.prepare, self.outcome = name, prepare, outcome
        self.converted = converted


def perform(call):
    """Makes the call; returns (result, exception)."""
    try:
        if call.kwargs:
            return call.fn(*call.args, **call.kwargs), None
        return call.fn(*call.args), None
    except BaseException as exc:  # noqa: BLE001 - every outcome is inspected
        return None, exc


def finish(call, result, exc, op):
    """Runs the cleanup; returns a problem description, or None."""
    problem = None
    if exc is None:
        if op.outcome is not None:
            problem = f"succeeded, expected {op.outcome.__name__}"
        elif call.check is not None and not call.check(result):
            problem = f"succeeded with a wrong result: {result!r}"
    elif type(exc) is not op.outcome:
        problem = f"raised {type(exc).__name__}: {exc}"
    if call.cleanup is not None:
        call.cleanup()
    return problem


# ---------------------------------------------------------------------------
# Import failures. These run before the module has been imported: a failed
# initialisation leaves the module uninitialised, and the next import runs
# the whole initialisation again, with what the failed attempt left behind.

def _import():
    return importlib.import_module(NAME)


def _after_import_failure():
    assert NAME not in sys.modules, "a failed import left the module registered"


def _swap(obj, attr, value):
    """_swap_attr for an import case: restoring also checks that the failed
    import left nothing registered."""
    restore_attr = _swap_attr(obj, attr, value)

    def restore():
        restore_attr()
        _after_import_failure()

    return restore


_MISSING = object()


def _no_module(name):
    """Makes importing name fail at once, without a search; returns the
    function that undoes it."""
    old = sys.modules.get(name, _MISSING)
    sys.modules[name] = None

    def restore():
        if old is _MISSING:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = old

    return restore


def _swap_module(name, value):
    old = sys.modules.get(name, _MISSING)
    sys.modules[name] = value

    def restore():
        if old is _MISSING:
            del sys.modules[name]
        else:
            sys.modules[name] = old
        _after_import_failure()

    return restore


class _WrongSize:
    """A type registered under the shared function type's name whose
    instances have another size."""


# Called when an object that rides on a raised error is released: the
# stateful test calls back into the module from there.
on_release = None


class Released:
    def __del__(self):
        if on_release is not None:
            on_release()


def _int_enum_failing(*args, **kwargs):
    # The error outlives the failed import (in its traceback): its release
    # may call back into the module.
    raise LookupError("IntEnum refused", Released())


def _int_enum_without_saturday(*args, **kwargs):
    # The real enumeration, but seen through a namespace that lacks the last
    # member: the body then fails at its very last step.
    real = _REAL_INT_ENUM(*args, **kwargs)
    return types.SimpleNamespace(**{m.name: m for m in real if m.name != "Saturday"})


_REAL_INT_ENUM = enum.IntEnum
_REAL_ORDERED_DICT = collections.OrderedDict


class _OrderedDictRefusingEmpty(_REAL_ORDERED_DICT):
    """Builds Weekdays' mapping, but refuses to make an empty registry: the
    metaclass initialiser of the fallback class then fails."""

    def __new__(cls, *args):
        if not args:
            raise LookupError("no empty registry")
        return _REAL_ORDERED_DICT.__new__(cls, *args)


def _import_with(restore):
    return Call(_import).then(restore)


def import_failure_ops():
    registry = lambda: sys.modules["_qx_shared_1_0"]  # noqa: E731
    return [
        Op("import.enum_unimportable",
           lambda: _import_with(_swap_module("enum", None)), ModuleNotFoundError),
        Op("import.no_ordered_dict",
           lambda: _import_with(_swap(collections, "OrderedDict", _MISSING)), ImportError),
        Op("import.no_int_enum",
           lambda: _import_with(_swap(enum, "IntEnum", _MISSING)), ImportError),
        Op("import.registry_not_a_type",
           lambda: _import_with(_swap(registry(), "qx_function_or_method", 1)), TypeError),
        Op("import.registry_wrong_size",
           lambda: _import_with(_swap(registry(), "qx_function_or_method", _WrongSize)),
           TypeError),
        Op("import.no_builtin_value_error",
           lambda: _import_with(_swap(builtins, "ValueError", _MISSING)),
           NameError),
        Op("import.registry_init_fails",
           lambda: _import_with(_swap(collections, "OrderedDict", _OrderedDictRefusingEmpty)),
           LookupError),
        Op("import.int_enum_fails",
           lambda: _import_with(_swap(enum, "IntEnum", _int_enum_failing)), LookupError),
        Op("import.last_member_missing",
           lambda: _import_with(_swap(enum, "IntEnum", _int_enum_without_saturday)),
           AttributeError),
    ]


# ---------------------------------------------------------------------------
# After the import.

class Names:
    """The module and the private objects, found once."""


def load(collect=True):
    """Imports the module (once) and returns the Names. collect=False when
    the module has just been initialised by other means, with the collector
    paused, so that its fallback class is still there."""
    if hasattr(Names, "module"):
        return Names
    if collect:
        gc.collect()  # classes of failed imports must not be counted
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        module = importlib.import_module(NAME)
        # A failed earlier attempt may have left its own fallback class (the
        # module keeps it until the next attempt): the one wanted is the one
        # whose functions live in this module's namespace.
        bases = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"
                 and c.__dict__["__new__"].__globals__ is vars(module)]
    finally:
        if was_enabled:
            gc.enable()
    assert len(bases) == 1, bases
    Names.module = module
    Names.base = bases[0]
    Names.meta = type(Names.base)
    Names.new = Names.base.__dict__["__new__"]
    Names.repr = Names.base.__dict__["__repr__"]
    Names.str = Names.base.__dict__["__str__"]
    Names.unpickle = module.__qx_unpickle___Qx_EnumMeta
    Names.runtime = sys.modules["qx_runtime"]
    return Names


def fresh_class(*members, name="K"):
    """A new class derived from the fallback base, with the given
    (value, name) members."""
    K = Names.meta(name, (Names.base,), {"__module__": __name__})
    for value, member in members:
        K(value, member)
    return K


class Raising:
    """Raises from ==, from the truth test of ==, or from both reflected
    comparisons, whichever the test asks for."""

    def __init__(self, where):
        self.where = where

    def __eq__(self, other):
        if self.where == "eq":
            raise LookupError("comparison refused")
        return self

    def __bool__(self):
        raise LookupError("truth refused")

    __hash__ = None


class IntReturning:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TupleSub(tuple):
    pass


class Registry:
    """A registry whose values() is a Python method (the call is unpacked)."""

    def __init__(self, values, fail=False):
        self._values, self._fail = values, fail

    def values(self):
        if self._fail:
            raise LookupError("values refused")
        return self._values


class Holder:
    """Stands for a class __dict__ whose update is a Python method."""

    def __init__(self):
        self.received = []

    def update(self, item):
        self.received.append(item)


class BadIter:
    def __iter__(self):
        return self

    def __next__(self):
        raise LookupError("iteration refused")


class NoName:
    pass


class ClassRaising:
    @property
    def __class__(self):
        raise LookupError("class refused")


class ClassWithoutName:
    class _Anonymous:
        def __getattribute__(self, name):
            raise AttributeError(name)

    __class__ = _Anonymous()
    name = "x"


class Named:
    """Has a name, a class and a name, but is no number: "%d" refuses it."""

    name = "member"


class StrRaising:
    def __str__(self):
        raise LookupError("str refused")


class NamedStrRaising:
    name = StrRaising()


class Truthless:
    def __bool__(self):
        raise LookupError("switch truth refused")


def _meta_with_dict(get_dict):
    """A class built by a subclass of the metaclass whose classes show
    get_dict(cls) as their __dict__."""
    meta = type("MetaWithDict", (Names.meta,), {"__dict__": property(get_dict)})
    return meta("C", (), {"__module__": __name__})


def _raise(error):
    # Raises in the getter's own frame (see _keep_frame).
    def get(cls):
        raise error
    return get


def _giving(obj):
    return lambda cls: obj


def _meta_refusing_setattr():
    def refuse(cls, key, value):
        raise LookupError("setattr refused")
    return type("MetaRefusing", (Names.meta,), {"__setattr__": refuse})


# Attributes that every function object answers.
READ_ATTRS = (
    "__name__", "func_name", "__qualname__", "__doc__", "func_doc", "__self__", "__dict__",
    "func_dict", "__globals__", "func_globals", "__closure__", "func_closure", "__code__",
    "func_code", "__defaults__", "func_defaults", "__kwdefaults__", "__annotations__",
    "__module__",
)


def _setter(fn, attr, value, outcome, restore=_MISSING, check=True):
    """An op that assigns fn.attr = value (or deletes it when value is
    _MISSING), and then restores the attribute."""
    def prepare():
        old = getattr(fn, attr)
        back = old if restore is _MISSING else restore

        def cleanup():
            setattr(fn, attr, back)

        if value is _MISSING:
            call = Call(delattr, fn, attr)
        else:
            call = Call(setattr, fn, attr, value)
            if check and outcome is None:
                call.verify(lambda _: getattr(fn, attr) is value)
        return call.then(cleanup)
    return prepare


def function_ops():
    N = Names
    ops = []
    functions = (("new", N.new), ("repr", N.repr), ("str", N.str))
    for label, fn in functions:
        for attr in READ_ATTRS:
            ops.append(Op(f"fn.{label}.read.{attr}", lambda fn=fn, a=attr: Call(getattr, fn, a)))
        ops += [
            Op(f"fn.{label}.repr", lambda fn=fn: Call(repr, fn).verify(
                lambda r, fn=fn: r.startswith("<qxfunction __Qx_EnumBase."))),
            Op(f"fn.{label}.reduce", lambda fn=fn: Call(fn.__reduce__).verify(
                lambda r, fn=fn: r == fn.__name__)),
            Op(f"fn.{label}.reduce_args", lambda fn=fn: Call(fn.__reduce__, 1, 2)),
            Op(f"fn.{label}.reduce_ex", lambda fn=fn: Call(fn.__reduce_ex__, 2)),
            Op(f"fn.{label}.weakref", lambda fn=fn: Call(weakref.ref, fn).verify(
                lambda r, fn=fn: r() is fn)),
            # Bound to an instance of an unrelated class.
            Op(f"fn.{label}.bind_int", lambda fn=fn: Call(fn.__get__, 5, int)),
            # Its reduce value names its module, "EnumBase", which pickle cannot
            # import (kept out of the search: 3.11's stat() fails badly under
            # allocation failure).
            Op(f"fn.{label}.pickle", lambda fn=fn: Call(pickle.dumps, fn).then(_no_module("EnumBase")),
               pickle.PicklingError),
            Op(f"fn.{label}.read.missing", lambda fn=fn: Call(getattr, fn, "missing"),
               AttributeError),
        ]
    f = N.repr
    ops += [
        # Arbitrary attributes live in the function's __dict__.
        Op("fn.attr.set", lambda: Call(setattr, f, "extra", [1]).then(
            lambda: delattr(f, "extra")).verify(lambda _: f.extra == [1])),
        Op("fn.attr.get", lambda: (setattr(f, "extra", [1]), Call(getattr, f, "extra"))[1].then(
            lambda: delattr(f, "extra"))),
        Op("fn.attr.del", lambda: (setattr(f, "extra", [1]), Call(delattr, f, "extra"))[1]),
        Op("fn.attr.del_missing", lambda: Call(delattr, f, "extra"), AttributeError),
        Op("fn.name.set", _setter(f, "__name__", "renamed", None)),
        Op("fn.name.set_wrong_type", _setter(f, "__name__", 3, TypeError), TypeError),
        Op("fn.name.del", _setter(f, "__name__", _MISSING, TypeError), TypeError),
        Op("fn.func_name.set", _setter(f, "func_name", "renamed", None)),
        Op("fn.qualname.set", _setter(f, "__qualname__", "Q.renamed", None)),
        Op("fn.qualname.set_wrong_type", _setter(f, "__qualname__", 3, TypeError), TypeError),
        Op("fn.qualname.del", _setter(f, "__qualname__", _MISSING, TypeError), TypeError),
        Op("fn.doc.set", _setter(f, "__doc__", "documented", None, restore=None)),
        Op("fn.doc.del", _setter(f, "__doc__", _MISSING, None, restore=None)),
        Op("fn.func_doc.set", _setter(f, "func_doc", "documented", None, restore=None)),
        Op("fn.dict.set", _setter(f, "__dict__", {"k": 1}, None, restore={})),
        Op("fn.dict.set_wrong_type", _setter(f, "__dict__", [], TypeError), TypeError),
        Op("fn.dict.del", _setter(f, "__dict__", _MISSING, TypeError), TypeError),
        Op("fn.defaults.set", _setter(N.new, "__defaults__", (1,), None)),
        Op("fn.defaults.set_none", _setter(N.new, "__defaults__", None, None)),
        Op("fn.defaults.set_wrong_type", _setter(N.new, "__defaults__", [], TypeError), TypeError),
        Op("fn.defaults.del", _setter(N.new, "__defaults__", _MISSING, None)),
        Op("fn.func_defaults.set", _setter(N.new, "func_defaults", (2,), None)),
        Op("fn.kwdefaults.set", _setter(f, "__kwdefaults__", {"a": 1}, None)),
        Op("fn.kwdefaults.set_none", _setter(f, "__kwdefaults__", None, None)),
        Op("fn.kwdefaults.set_wrong_type", _setter(f, "__kwdefaults__", 1, TypeError), TypeError),
        Op("fn.kwdefaults.del", _setter(f, "__kwdefaults__", _MISSING, None)),
        Op("fn.annotations.set", _setter(f, "__annotations__", {"a": 1}, None)),
        Op("fn.annotations.set_none", _setter(f, "__annotations__", None, None, check=False)),
        Op("fn.annotations.set_wrong_type", _setter(f, "__annotations__", 1, TypeError), TypeError),
        Op("fn.annotations.del", _setter(f, "__annotations__", _MISSING, None)),
        Op("fn.annotations.read_fresh", lambda: (setattr(f, "__annotations__", None), Call(
            getattr, f, "__annotations__"))[1].verify(lambda r: r == {})),
        Op("fn.module.set", _setter(f, "__module__", "elsewhere", None)),
        Op("fn.module.del", _setter(f, "__module__", _MISSING, None, restore="EnumBase")),
        Op("fn.type.instantiate", lambda: Call(type(f)), TypeError),
        Op("fn.type.subclass", lambda: Call(type, "Sub", (type(f),), {}), TypeError),
        Op("fn.copy", lambda: Call(copy.copy, f).verify(lambda r: r is f)),
        Op("fn.deepcopy", lambda: Call(copy.deepcopy, f).verify(lambda r: r is f)),
        Op("fn.referents", lambda: Call(gc.get_referents, f).verify(
            lambda r: f.__globals__ in r and f.__code__ in r)),
        Op("fn.dir", lambda: Call(dir, f).verify(lambda r: "__defaults__" in r)),
        Op("fn.globals.set", lambda: Call(setattr, f, "__globals__", {}), AttributeError),
        Op("fn.globals.del", lambda: Call(delattr, f, "__globals__"), AttributeError),
        Op("fn.code.set", lambda: Call(setattr, f, "__code__", None), AttributeError),
        Op("fn.closure.set", lambda: Call(setattr, f, "__closure__", None), AttributeError),
        Op("fn.self.set", lambda: Call(setattr, f, "__self__", None), AttributeError),
    ]
    return ops


def binding_and_call_ops():
    N = Names
    ops = []

    def with_member(make):
        def prepare():
            K = fresh_class((1, "A"))
            return make(K, K.A)
        return prepare

    ops += [
        Op("bind.plain.instance", with_member(lambda K, m: Call(N.repr.__get__, m, K).verify(
            lambda r: r.__self__ is m and r.__func__ is N.repr))),
        Op("bind.plain.instance_no_owner", with_member(lambda K, m: Call(N.repr.__get__, m))),
        Op("bind.plain.class", with_member(lambda K, m: Call(N.repr.__get__, None, K).verify(
            lambda r: r is N.repr))),
        Op("bind.static.instance", with_member(lambda K, m: Call(N.new.__get__, m, K).verify(
            lambda r: r is N.new))),
        Op("bind.through_instance", with_member(lambda K, m: Call(getattr, m, "__str__"))),
        Op("bind.through_class", with_member(lambda K, m: Call(getattr, K, "__repr__").verify(
            lambda r: r is N.repr))),
        # METH_O
        Op("call.o.repr", with_member(lambda K, m: Call(N.repr, m).verify(
            lambda r: r == "<K.A: 1>"))),
        Op("call.o.str", with_member(lambda K, m: Call(N.str, m).verify(lambda r: r == "K.A"))),
        # Unchecked: when binding the function fails, the interpreter's repr
        # slot clears the error and falls back to its default representation.
        Op("call.o.repr_slot", with_member(lambda K, m: Call(repr, m))),
        Op("call.o.str_slot", with_member(lambda K, m: Call(str, m).verify(lambda r: r == "K.A"))),
        Op("call.o.format", with_member(lambda K, m: Call(format, m, ""))),
        Op("call.o.bound", with_member(lambda K, m: Call(N.repr.__get__(m, K)).verify(
            lambda r: r == "<K.A: 1>"))),
        Op("call.o.empty_keywords", with_member(lambda K, m: Call(
            _testcapi().pyobject_fastcalldict, N.repr, (m,), {}))),
        Op("call.o.call_wrapper", with_member(lambda K, m: Call(N.repr.__call__, m).verify(
            lambda r: r == "<K.A: 1>"))),
        Op("call.o.no_argument", lambda: Call(N.repr), TypeError),
        Op("call.o.two_arguments", with_member(lambda K, m: Call(N.repr, m, m)), TypeError),
        Op("call.o.keyword", with_member(lambda K, m: Call(N.repr, m, k=1)), TypeError),
        # METH_VARARGS | METH_KEYWORDS: __new__'s argument unpacking
        Op("call.kw.find", with_member(lambda K, m: Call(N.new, K, 1).verify(lambda r: r is m))),
        Op("call.kw.find_keyword", with_member(lambda K, m: Call(N.new, K, value=1).verify(
            lambda r: r is m))),
        Op("call.kw.all_keywords", with_member(lambda K, m: Call(
            N.new, cls=K, value=1, name=None).verify(lambda r: r is m))),
        Op("call.kw.equal_keyword", with_member(lambda K, m: Call(
            N.new, K, **{"".join(["val", "ue"]): 1}).verify(lambda r: r is m))),
        Op("call.kw.name_keyword", with_member(lambda K, m: Call(N.new, K, 1, name="B").verify(
            lambda r: r is m))),
        Op("call.kw.empty_keywords", with_member(lambda K, m: Call(
            _testcapi().pyobject_fastcalldict, N.new, (K, 1), {}).verify(lambda r: r is m))),
        Op("call.kw.nothing", lambda: Call(N.new), TypeError),
        Op("call.kw.cls_only", with_member(lambda K, m: Call(N.new, K)), TypeError),
        Op("call.kw.cls_keyword_only", with_member(lambda K, m: Call(N.new, cls=K)), TypeError),
        Op("call.kw.too_many", with_member(lambda K, m: Call(N.new, K, 1, "x", 4)), TypeError),
        Op("call.kw.too_many_with_keywords",
           with_member(lambda K, m: Call(N.new, K, 1, "x", 4, name="y")), TypeError),
        Op("call.kw.duplicate", with_member(lambda K, m: Call(N.new, K, 1, value=2)), TypeError),
        Op("call.kw.duplicate_equal", with_member(lambda K, m: Call(
            N.new, K, 1, **{"".join(["c", "ls"]): K})), TypeError),
        Op("call.kw.unexpected", with_member(lambda K, m: Call(N.new, K, 1, bogus=2)),
           TypeError),
        Op("call.kw.empty_keywords_missing", with_member(lambda K, m: Call(
            _testcapi().pyobject_fastcalldict, N.new, (K,), {})), TypeError),
        Op("call.kw.non_string_keyword", with_member(lambda K, m: Call(
            _testcapi().pyobject_fastcalldict, N.new, (K, 1), {1: 2})), TypeError),
    ]
    return ops


def _testcapi():
    import _testcapi
    return _testcapi


def _sequence_getitem():
    try:
        from _testcapi import sequence_getitem
    except ImportError:  # 3.13 moved it
        from _testlimitedcapi import sequence_getitem
    return sequence_getitem


def metaclass_ops():
    N = Names
    M = N.meta
    ops = []

    def with_class(make, *members):
        def prepare():
            return make(fresh_class(*members))
        return prepare

    def with_registry(registry, make):
        def prepare():
            K = fresh_class()
            K.__members__ = registry() if callable(registry) else registry
            return make(K)
        return prepare

    def without_registry(make):
        # Not derived from the fallback base, whose registry it would inherit.
        def prepare():
            E = M("E", (int,), {"__module__": __name__})
            del E.__members__
            return make(E)
        return prepare

    def registry_fresh(K):
        return type(K.__members__) is collections.OrderedDict and not K.__members__

    listed = lambda: [10, 20, 30]  # noqa: E731
    queue = lambda: collections.deque([1, 2, 3])  # noqa: E731
    # The metaclass initialiser stores __members__, and type.__setattr__ may
    # report a failed store (a MemoryError) as AttributeError "type object
    # 'K' has no attribute '__members__'".
    set_members = (AttributeError,) if facts.TYPE_SETATTR_MASKS_STORE_FAILURE else ()
    ops += [
        Op("meta.create", lambda: Call(M, "E", (int,), {"__module__": __name__}).verify(
            lambda E: registry_fresh(E)), converted=set_members),
        Op("meta.create_subclass", lambda: Call(M, "D", (N.base,), {"__module__": __name__}).verify(
            lambda D: registry_fresh(D)), converted=set_members),
        Op("meta.create_statement", lambda: Call(_class_statement).verify(registry_fresh),
           converted=set_members),
        Op("meta.init_again", with_class(lambda K: Call(M.__init__, K, "K", (N.base,), {}).verify(
            lambda _: registry_fresh(K)), (1, "A")), converted=set_members),
        Op("meta.init_keywords", with_class(lambda K: Call(
            M.__init__, K, "K", parents=(N.base,), dct={}).verify(lambda _: registry_fresh(K))),
           converted=set_members),
        Op("meta.init_no_arguments", with_class(lambda K: Call(M.__init__, K)), TypeError),
        Op("meta.init_two", with_class(lambda K: Call(M.__init__, K, "K", ())), TypeError),
        Op("meta.init_no_parents", with_class(lambda K: Call(M.__init__, K, name="K", dct={})),
           TypeError),
        Op("meta.init_no_dct", with_class(lambda K: Call(M.__init__, K, "K", parents=())),
           TypeError),
        Op("meta.init_four", with_class(lambda K: Call(M.__init__, K, "K", (), {}, 4)),
           TypeError),
        Op("meta.init_unexpected", with_class(lambda K: Call(M.__init__, K, "K", (), {}, x=1)),
           TypeError),
        Op("meta.init_duplicate", with_class(lambda K: Call(M.__init__, K, "K", (), {}, name="x")),
           TypeError),
        Op("meta.init_setattr_fails", lambda: Call(_meta_refusing_setattr(), "E", (), {}),
           LookupError),
        Op("meta.new_wrong_arguments", lambda: Call(M, "E"), TypeError),
        Op("meta.new_keywords", lambda: Call(M, "E", (), {}, extra=1), TypeError),
        # The creation step alone: a class without a registry.
        Op("meta.new_direct", lambda: Call(M.__new__, M, "E", (int,), {}).verify(
            lambda E: type(E) is M and "__members__" not in vars(E))),
        Op("meta.referents", with_class(lambda K: Call(gc.get_referents, K).verify(
            lambda r: vars(K) in r or any(x is N.base for x in r)))),
        Op("meta.iter", with_class(lambda K: Call(list, K).verify(
            lambda r: r == [1, 2] and r[0] is K.A), (1, "A"), (2, "B"))),
        Op("meta.iter_empty", with_class(lambda K: Call(list, K).verify(lambda r: r == []))),
        Op("meta.iter_python_registry", with_registry(lambda: Registry([1, 2]), lambda K: Call(
            list, K).verify(lambda r: r == [1, 2]))),
        Op("meta.iter_no_registry", without_registry(lambda K: Call(iter, K)), AttributeError),
        Op("meta.iter_registry_without_values", with_registry(5, lambda K: Call(iter, K)),
           AttributeError),
        Op("meta.iter_values_fail", with_registry(lambda: Registry([], fail=True),
                                                  lambda K: Call(iter, K)), LookupError),
        Op("meta.iter_values_not_iterable", with_registry(lambda: Registry(5),
                                                          lambda K: Call(iter, K)), TypeError),
        Op("meta.getitem", with_class(lambda K: Call(operator.getitem, K, "A").verify(
            lambda r: r is K.A), (1, "A"))),
        Op("meta.getitem_missing", with_class(lambda K: Call(operator.getitem, K, "Z"),
                                              (1, "A")), KeyError),
        Op("meta.getitem_no_registry", without_registry(lambda K: Call(operator.getitem, K, "A")),
           AttributeError),
        Op("meta.getitem_list", with_registry(listed, lambda K: Call(operator.getitem, K, 1).verify(
            lambda r: r == 20))),
        Op("meta.getitem_list_negative", with_registry(listed, lambda K: Call(
            operator.getitem, K, -1).verify(lambda r: r == 30))),
        Op("meta.getitem_list_out_of_range", with_registry(listed, lambda K: Call(
            operator.getitem, K, 3)), IndexError),
        Op("meta.getitem_tuple", with_registry((1, 2), lambda K: Call(
            operator.getitem, K, -2).verify(lambda r: r == 1))),
        # A deque has sequence indexing but no mapping subscript: the index
        # conversion and the sequence path are taken.
        Op("meta.getitem_huge_index", with_registry(queue, lambda K: Call(
            operator.getitem, K, 2**70)), IndexError),
        Op("meta.getitem_bool_index", with_registry(queue, lambda K: Call(
            operator.getitem, K, True).verify(lambda r: r == 2))),
        Op("meta.getitem_str_index", with_registry(queue, lambda K: Call(
            operator.getitem, K, "x")), TypeError),
        Op("meta.getitem_float_index", with_registry(queue, lambda K: Call(
            operator.getitem, K, 1.5)), TypeError),
        Op("meta.getitem_sequence_out_of_range", with_registry(queue, lambda K: Call(
            operator.getitem, K, -4)), IndexError),
        Op("meta.getitem_sequence_negative", with_registry(queue, lambda K: Call(
            operator.getitem, K, -1).verify(lambda r: r == 3))),
        Op("meta.getitem_not_subscriptable", with_registry(object(), lambda K: Call(
            operator.getitem, K, 0)), TypeError),
        Op("meta.sq_item", with_registry(listed, lambda K: Call(
            _sequence_getitem(), K, 0).verify(lambda r: r == 10))),
        Op("meta.sq_item_negative", with_registry(listed, lambda K: Call(
            _sequence_getitem(), K, -1).verify(lambda r: r == 30))),
        Op("meta.sq_item_missing", with_class(lambda K: Call(
            _sequence_getitem(), K, 0)), KeyError),
        Op("meta.contains", with_class(lambda K: Call(operator.contains, K, 1).verify(
            lambda r: r is True), (1, "A"))),
    ]
    return ops


def _class_statement():
    sys._getframe()  # see _keep_frame
    class K(Names.base):
        pass
    return K


def pickling_ops():
    N = Names
    M = N.meta
    u = N.unpickle
    ops = []

    def with_class(make):
        def prepare():
            return make(M("E", (), {"__module__": __name__}))
        return prepare

    def reduce_check(E):
        def check(r):
            return (len(r) == 3 and r[0] is u and r[1] == (M, CHECKSUM, None)
                    and r[2] == (dict(vars(E)),))
        return check

    def dict_holder(make_update=None):
        def prepare():
            holder = Holder()
            if make_update is not None:
                holder.update = make_update(holder)
            C = _meta_with_dict(_giving(holder))
            call = Call(M.__setstate__, C, ({"k": 1},))
            if make_update is None:
                call.verify(lambda _: holder.received == [{"k": 1}])
            return call
        return prepare

    def plain_dict():
        target = {}
        C = _meta_with_dict(_giving(target))
        return Call(M.__setstate__, C, ({"k": 1}, "ignored")).verify(lambda _: target == {"k": 1})

    def with_pickle(attr, value, make):
        def prepare():
            restore = _swap_attr(pickle, attr, value)
            return make().then(restore)
        return prepare

    def with_pickle_unimportable(make):
        def prepare():
            old = sys.modules["pickle"]
            sys.modules["pickle"] = None

            def restore():
                sys.modules["pickle"] = old
            return make().then(restore)
        return prepare

    def lookup_error_class(message):
        return LookupError

    ops += [
        Op("pickle.reduce", with_class(lambda E: Call(M.__reduce__, E).verify(reduce_check(E)))),
        Op("pickle.reduce_no_dict", lambda: (lambda C: Call(M.__reduce__, C).verify(
            lambda r: r == (u, (type(C), CHECKSUM, ()))))(
            _meta_with_dict(_raise(AttributeError("no dict"))))),
        Op("pickle.reduce_dict_fails", lambda: Call(
            M.__reduce__, _meta_with_dict(_raise(LookupError("dict refused")))), LookupError),
        Op("pickle.reduce_no_function", with_class(lambda E: Call(M.__reduce__, E).then(
            _swap_attr(N.module, "__qx_unpickle___Qx_EnumMeta", _MISSING))), NameError),
        Op("pickle.reduce_no_function_no_dict", lambda: Call(
            M.__reduce__, _meta_with_dict(_raise(AttributeError("no dict")))).then(
            _swap_attr(N.module, "__qx_unpickle___Qx_EnumMeta", _MISSING)), NameError),
        Op("pickle.setstate_empty", with_class(lambda E: Call(M.__setstate__, E, ()))),
        Op("pickle.setstate_none", with_class(lambda E: Call(M.__setstate__, E, None)), TypeError),
        Op("pickle.setstate_list", with_class(lambda E: Call(M.__setstate__, E, [])), TypeError),
        Op("pickle.setstate_tuple_subclass", with_class(lambda E: Call(
            M.__setstate__, E, TupleSub())), TypeError),
        Op("pickle.setstate_proxy", with_class(lambda E: Call(M.__setstate__, E, ({},))),
           AttributeError),
        Op("pickle.setstate_dict", plain_dict),
        Op("pickle.setstate_python_update", dict_holder()),
        Op("pickle.setstate_update_one_arg", dict_holder(lambda h: _refuse_one), LookupError),
        Op("pickle.setstate_update_function", dict_holder(
            lambda h: types.MethodType(_refuse_two, h)), LookupError),
        Op("pickle.setstate_update_fastcall", dict_holder(
            lambda h: types.MethodType(getattr, h)), TypeError),
        Op("pickle.setstate_update_object", dict_holder(
            lambda h: types.MethodType(_RefusingCallable(), h)), LookupError),
        Op("pickle.setstate_no_dict", lambda: Call(
            M.__setstate__, _meta_with_dict(_raise(AttributeError("no dict"))), ({},))),
        Op("pickle.setstate_dict_fails", lambda: Call(
            M.__setstate__, _meta_with_dict(_raise(LookupError("dict refused"))), ({},)),
           LookupError),
        Op("pickle.setstate_wrong_arguments", with_class(lambda E: Call(M.__setstate__, E)),
           TypeError),
        # The unpickling function.
        Op("unpickle.wrong_checksum", lambda: Call(u, M, 1, None), pickle.PickleError),
        Op("unpickle.negative_checksum", lambda: Call(u, M, -5, None), pickle.PickleError),
        Op("unpickle.large_checksum", lambda: Call(u, M, 2**31 - 1, None), pickle.PickleError),
        Op("unpickle.checksum_keywords", lambda: Call(
            u, __qx_type=M, __qx_checksum=1, __qx_state=None), pickle.PickleError),
        Op("unpickle.checksum_float", lambda: Call(u, M, 1.5, None), pickle.PickleError),
        Op("unpickle.checksum_int_subclass_result", lambda: Call(
            _warnings_ignored, u, M, IntReturning(True), None), pickle.PickleError),
        Op("unpickle.checksum_int_subclass_warning", lambda: Call(
            _warnings_errors, u, M, IntReturning(True), None), DeprecationWarning),
        Op("unpickle.checksum_int_returns_str", lambda: Call(u, M, IntReturning("x"), None),
           TypeError),
        Op("unpickle.checksum_int_raises", lambda: Call(
            u, M, IntReturning(LookupError("int refused")), None), LookupError),
        Op("unpickle.checksum_overflow", lambda: Call(u, M, 2**31, None), OverflowError),
        Op("unpickle.checksum_overflow_long", lambda: Call(u, M, 2**40, None), OverflowError),
        Op("unpickle.checksum_overflow_huge", lambda: Call(u, M, -2**70, None), OverflowError),
        Op("unpickle.checksum_not_a_number", lambda: Call(u, M, "x", None), TypeError),
        Op("unpickle.right_checksum", lambda: Call(u, M, CHECKSUM, None), TypeError),
        Op("unpickle.right_checksum_state", lambda: Call(u, M, CHECKSUM, []), TypeError),
        Op("unpickle.no_arguments", lambda: Call(u), TypeError),
        Op("unpickle.two_arguments", lambda: Call(u, M, 1), TypeError),
        Op("unpickle.four_arguments", lambda: Call(u, M, 1, None, 4), TypeError),
        Op("unpickle.missing_checksum", lambda: Call(u, M, __qx_state=None), TypeError),
        Op("unpickle.missing_state", lambda: Call(u, M, __qx_checksum=1), TypeError),
        Op("unpickle.unexpected_keyword", lambda: Call(u, M, 1, None, bogus=1), TypeError),
        Op("unpickle.duplicate_keyword", lambda: Call(u, M, 1, None, __qx_type=M), TypeError),
        Op("unpickle.non_string_keyword", lambda: Call(
            _testcapi().pyobject_fastcalldict, u, (M, 1, None), {1: 2}), TypeError),
        Op("unpickle.pickle_unimportable", with_pickle_unimportable(lambda: Call(u, M, 1, None)),
           ModuleNotFoundError),
        Op("unpickle.no_pickle_error", with_pickle("PickleError", _MISSING, lambda: Call(
            u, M, 1, None)), ImportError),
        Op("unpickle.error_class_raises", with_pickle("PickleError", _refuse_one, lambda: Call(
            u, M, 1, None)), LookupError),
        Op("unpickle.error_is_not_an_exception", with_pickle("PickleError", lambda m: 5,
                                                             lambda: Call(u, M, 1, None)),
           TypeError),
        Op("unpickle.error_is_a_class", with_pickle("PickleError", lookup_error_class,
                                                    lambda: Call(u, M, 1, None)), LookupError),
        Op("unpickle.error_is_not_an_exception_class", with_pickle(
            "PickleError", lambda m: int, lambda: Call(u, M, 1, None)), TypeError),
        Op("unpickle.error_class_makes_no_exception", with_pickle(
            "PickleError", lambda m: _NotAnException, lambda: Call(u, M, 1, None)), TypeError),
    ]
    return ops


def _swap_attr(obj, attr, value):
    """Sets obj.attr (or deletes it when value is _MISSING); returns the
    function that puts the old value back."""
    old = getattr(obj, attr, _MISSING)
    if value is _MISSING:
        delattr(obj, attr)
    else:
        setattr(obj, attr, value)

    def restore():
        if old is _MISSING:
            if hasattr(obj, attr):
                delattr(obj, attr)
        else:
            setattr(obj, attr, old)
    return restore


class _NotAnException(Exception):
    """An exception class whose instantiation gives something else."""

    def __new__(cls, *args):
        return 5


def _refuse_one(item):
    raise LookupError("refused")


def _refuse_two(holder, item):
    raise LookupError("refused")


class _RefusingCallable:
    def __call__(self, holder, item):
        raise LookupError("refused")


def _warnings_ignored(fn, *args):
    sys._getframe()  # see _keep_frame
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args)


def _warnings_errors(fn, *args):
    sys._getframe()  # see _keep_frame
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return fn(*args)


def base_ops():
    N = Names
    ops = []

    def with_class(make, *members):
        def prepare():
            return make(fresh_class(*members))
        return prepare

    def created(K, name, value):
        def check(r):
            return (r == value and type(r) is K and r.name == name and getattr(K, name) is r
                    and K.__members__[name] is r)
        return check

    ops += [
        Op("base.create", with_class(lambda K: Call(K, 1, "A").verify(created(K, "A", 1)))),
        Op("base.create_second", with_class(lambda K: Call(K, 2, "B").verify(
            created(K, "B", 2)), (1, "A"))),
        Op("base.create_from_str", with_class(lambda K: Call(K, "7", "S").verify(
            created(K, "S", 7)), (7, "A"))),
        Op("base.find", with_class(lambda K: Call(K, 1).verify(lambda r: r is K.A), (1, "A"))),
        Op("base.find_second", with_class(lambda K: Call(K, 2).verify(lambda r: r is K.B),
                                          (1, "A"), (2, "B"))),
        Op("base.find_other_name", with_class(lambda K: Call(K, 1, "B").verify(
            lambda r: r is K.A and not hasattr(K, "B")), (1, "A"))),
        Op("base.find_float", with_class(lambda K: Call(K, 1.0).verify(lambda r: r is K.A),
                                         (1, "A"))),
        Op("base.find_subclass_own_registry", with_class(lambda K: Call(
            Names.meta("D", (K,), {}), 1), (1, "A")), ValueError),
        Op("base.unknown", with_class(lambda K: Call(K, 2), (1, "A")), ValueError),
        Op("base.unknown_tuple", with_class(lambda K: Call(K, (1, 2))), TypeError),
        Op("base.unknown_one_tuple", with_class(lambda K: Call(K, (5,))), ValueError),
        Op("base.value_not_int", with_class(lambda K: Call(K, "x", "N")), ValueError),
        Op("base.name_not_str", with_class(lambda K: Call(K, 5, 3)), TypeError),
        # The registry iterates, but takes no new entry.
        Op("base.registry_immutable", lambda: (lambda K: (setattr(K, "__members__", Registry(
            [])), Call(K, 5, "Z"))[1])(fresh_class()), TypeError),
        Op("base.no_registry", lambda: Call(_class_without_registry(), 5, "Z"), AttributeError),
        Op("base.eq_raises", with_class(lambda K: Call(K, Raising("eq")), (1, "A")), LookupError),
        Op("base.truth_raises", with_class(lambda K: Call(K, Raising("bool")), (1, "A")),
           LookupError),
        Op("base.iteration_fails", lambda: (lambda K: (setattr(K, "__members__", Registry(
            BadIter())), Call(K, 1))[1])(fresh_class()), LookupError),
        Op("base.new_list", lambda: Call(N.new, [1, 2, 3], 2).verify(lambda r: r == 2)),
        Op("base.new_tuple_unknown", lambda: Call(N.new, (1, 2), 5), ValueError),
        Op("base.new_list_create", lambda: Call(N.new, [1], 5, "x"), TypeError),
        Op("base.new_not_iterable", lambda: Call(N.new, object(), 1), TypeError),
        Op("base.new_bad_iterator", lambda: Call(N.new, BadIter(), 1), LookupError),
        Op("base.repr_no_name", lambda: Call(N.repr, NoName()), AttributeError),
        Op("base.repr_class_raises", lambda: Call(N.repr, ClassRaising()), LookupError),
        Op("base.repr_class_without_name", lambda: Call(N.repr, ClassWithoutName()),
           AttributeError),
        Op("base.repr_not_a_number", lambda: Call(N.repr, Named()), TypeError),
        Op("base.str_no_name", lambda: Call(N.str, NoName()), AttributeError),
        Op("base.str_class_raises", lambda: Call(N.str, ClassRaising()), LookupError),
        Op("base.str_class_without_name", lambda: Call(N.str, ClassWithoutName()),
           AttributeError),
        Op("base.str_name_raises", lambda: Call(N.str, NamedStrRaising()), LookupError),
        Op("base.str_named", lambda: Call(N.str, Named()).verify(lambda r: r == "Named.member")),
    ]
    return ops


def _class_without_registry():
    """A class with the fallback __new__ but no registry of its own or of a
    base (a subclass of the fallback base would find the base's)."""
    E = Names.meta("E", (int,), {"__module__": __name__, "__new__": Names.new})
    del E.__members__
    return E


def module_ops():
    N = Names
    W = N.module
    ops = [
        # Members pickle by reference to this module.
        Op("module.member_pickle", lambda: Call(pickle.dumps, W.Friday).verify(
            lambda r: pickle.loads(r) is W.Friday), converted=(pickle.PicklingError,)),
        Op("module.reentry", lambda: Call(_init_again, *_entry_point()).verify(
            lambda r: r is True), converted=(ctypes.ArgumentError,)),
    ]
    return ops


_IMPORT_LOCK = []


def keep_import_lock():
    """Makes the import system's lock of the module's name now, outside any
    measurement, and keeps it, where making it under a failed allocation
    would corrupt the interpreter (facts.MAKE_FUNCTION_SURVIVES_FAILED_ALLOCATION):
    the entry takes that lock on every call, and a kept one is not made anew."""
    if not facts.MAKE_FUNCTION_SURVIVES_FAILED_ALLOCATION and not _IMPORT_LOCK:
        import _frozen_importlib
        _IMPORT_LOCK.append(_frozen_importlib._get_module_lock("quendrix.core.enums.weekdays"))


def _entry_point():
    """The module's entry point, callable from Python (made outside any
    measurement: ctypes builds classes on first use)."""
    keep_import_lock()
    init = ctypes.PyDLL(Names.module.__file__).PyInit_weekdays
    init.restype = ctypes.c_void_p
    init.argtypes = []
    release = ctypes.pythonapi.Py_DecRef
    release.argtypes = [ctypes.c_void_p]
    release.restype = None
    return init, release


def _init_again(init, release):
    """Calls the entry point once more: it must hand back the same module,
    with exactly one reference added for the caller (dropped here)."""
    sys._getframe()  # see _keep_frame
    address = init()
    same = address == id(Names.module)
    release(address)
    return same


def switch_ops():
    """Traceback entries for each state of qx_runtime.impl_line_in_traceback
    that is not simply true or false (those two are each check's modes)."""
    N = Names

    def with_switch(value):
        def prepare():
            old = vars(N.runtime).get("impl_line_in_traceback", _MISSING)
            if value is _MISSING:
                vars(N.runtime).pop("impl_line_in_traceback", None)
            else:
                N.runtime.impl_line_in_traceback = value

            def restore():
                if old is _MISSING:
                    vars(N.runtime).pop("impl_line_in_traceback", None)
                else:
                    N.runtime.impl_line_in_traceback = old
            return Call(N.repr, NoName()).then(restore)
        return prepare

    return [
        Op("switch.absent", with_switch(_MISSING), AttributeError),
        Op("switch.truth_raises", with_switch(Truthless()), AttributeError),
        Op("switch.not_bool", with_switch(7), AttributeError),
    ]


def ops():
    """Every operation after the import, in a fixed order."""
    load()
    return table()


def table():
    """The operations on the objects Names holds now."""
    return (function_ops() + binding_and_call_ops() + metaclass_ops() + pickling_ops()
            + base_ops() + module_ops() + switch_ops())


_BOUND = ("module", "base", "meta", "new", "repr", "str", "unpickle", "runtime")


def bind(module, base, unpickle):
    """Points Names at the objects of one import, which need not be the
    current one (the stateful test keeps those of earlier and failed
    imports); table() then builds the operations on them."""
    Names.module, Names.base, Names.meta = module, base, type(base)
    for name in ("new", "repr", "str"):
        setattr(Names, name, vars(base).get(f"__{name}__"))
    Names.unpickle = unpickle
    Names.runtime = sys.modules.get("qx_runtime")


def op_names():
    """The names of table()'s operations, known without the module (the
    operations are built, not prepared)."""
    saved = {name: vars(Names)[name] for name in _BOUND if name in vars(Names)}
    for name in _BOUND:
        setattr(Names, name, None)
    try:
        return [op.name for op in table()]
    finally:
        for name in _BOUND:
            if name in saved:
                setattr(Names, name, saved[name])
            else:
                delattr(Names, name)


def set_switch(shown):
    Names.runtime.impl_line_in_traceback = shown


def sanity():
    """A quick tour of the module; raises AssertionError when it misbehaves."""
    W = Names.module
    assert W.Weekdays(3) is W.Tuesday and W.Saturday == 7
    K = fresh_class((1, "A"))
    assert K(1) is K.A and list(K) == [1] and K["A"] is K.A
    assert repr(K.A) == "<K.A: 1>" and str(K.A) == "K.A"
    try:
        Names.unpickle(Names.meta, 1, None)
    except pickle.PickleError as exc:
        assert str(exc) == "Incompatible checksums (1 vs 0xd41d8cd = ())", exc
    else:
        raise AssertionError("unpickling with a wrong checksum succeeded")
    assert Names.new.__name__ == "__new__" and Names.new.__defaults__ == (None,)
