"""Hostile objects: __eq__, __bool__, __index__, __int__, __hash__, __repr__
and __str__ that raise or return the wrong type, fed to the member search,
the checksum conversion, the metaclass's subscription (mapping and
sequence-style registries), the repr and str of members; and registries
replaced by non-mappings or mutated while they are walked.

Each example runs the module in one world and the expectation (qx_model:
the messages, failure points and outcomes the module is to have) in an
identical other world; both must end with the same result, the same
exception (type and message), the same warnings, and the module must add
the traceback entries of the expected failure point. The hostile objects
keep no state, so both worlds meet the same behaviour."""
import collections
import ctypes
import types
import warnings

from hypothesis import given
from hypothesis import strategies as st

import qx_model as model
from conftest import run_fresh
from qx_entries import failure
from qx_hostile import PROFILE, Boom, count


class WeirdTruth:
    """What a hostile __eq__ may return: its truth test raises."""

    def __bool__(self):
        raise Boom("truth of a comparison result")


def raiser(what):
    def method(self, *args):
        raise Boom(what)

    return method


def returning(value):
    return lambda self, *args: value


IMPLEMENTATIONS = {
    "__eq__": {
        "raise": raiser("eq"),
        "weird": returning(WeirdTruth()),
        "str": returning("yes"),
        "zero": returning(0),
        "notimpl": returning(NotImplemented),
        "true": returning(True),
        "false": returning(False),
    },
    "__bool__": {"raise": raiser("bool"), "int": returning(2), "true": returning(True), "false": returning(False)},
    "__index__": {
        "raise": raiser("index"),
        "str": returning("x"),
        "bool": returning(True),
        "huge": returning(2**70),
        "minus": returning(-1),
        "one": returning(1),
    },
    "__int__": {
        "raise": raiser("int"),
        "str": returning("x"),
        "bool": returning(True),
        "float": returning(1.5),
        "big": returning(2**40),
        "checksum": returning(model.CHECKSUM),
        "one": returning(1),
    },
    "__hash__": {"raise": raiser("hash"), "str": returning("x"), "seven": returning(7), "none": None},
    "__repr__": {"raise": raiser("repr"), "int": returning(5), "text": returning("r")},
    "__str__": {"raise": raiser("str"), "int": returning(5), "text": returning("s")},
}

BASES = {"object": (object, ()), "int": (int, (3,)), "str": (str, ("N",))}


@st.composite
def hostile(draw):
    """A fresh object of a class with some hostile special methods."""
    chosen = draw(st.fixed_dictionaries({}, optional={k: st.sampled_from(sorted(v)) for k, v in IMPLEMENTATIONS.items()}))
    base, args = BASES[draw(st.sampled_from(sorted(BASES)))]
    ns = {name: IMPLEMENTATIONS[name][how] for name, how in chosen.items()}
    if "__eq__" in ns and "__hash__" not in ns:
        ns["__hash__"] = base.__hash__
    # How hypothesis shows a falsifying example: the class name, which tells
    # the behaviours, instead of a repr that may itself be hostile.
    ns["_repr_pretty_"] = lambda self, printer, cycle: printer.text(type(self).__name__ + "()")
    cls = type("H_" + "_".join(f"{k.strip('_')}-{v}" for k, v in sorted(chosen.items())), (base,), ns)
    return cls(*args)


def plain_values():
    return st.sampled_from([1, 2, 3, "1", 1.0, None, True, (1, 2)])


def fresh_class(enum_base):
    """A class K derived from the fallback base through a class of its own,
    so that with its registry deleted K reaches a fresh, empty one."""

    class Base(enum_base):
        pass

    class K(Base):
        pass

    return K


def describe_in(world):
    """Describes a result by what it is in its world, never by calling its
    (possibly hostile) special methods."""

    def describe(result):
        for name, obj in world.items():
            if result is obj:
                return ("world", name)
        K = world.get("K")
        if K is not None and type(result) is K:
            return ("new member", int.__int__(result), describe(vars(result).get("name")))
        if type(result) in (int, str, float, bool, type(None), tuple):
            return ("value", type(result).__name__, repr(result))
        return ("object", type(result).__name__)

    return describe


def same_in_both(make_world, act):
    """act(world) in two identical worlds: the module's way in the first
    (module=True), the expectation's in the second."""
    world_a, world_b = make_world(), make_world()
    got = model.observed(lambda: act(world_a, True), describe_in(world_a))
    want = model.expected(lambda: act(world_b, False), describe_in(world_b))
    model.same(got, want)
    return world_a, world_b


# ---------------------------------------------------------------------------
# Member search and creation.


# Special methods of the enumeration class itself (its members compare,
# hash and test their truth with these).
CLASS_METHODS = ("__eq__", "__hash__", "__bool__")


@st.composite
def hostile_methods(draw):
    chosen = draw(st.fixed_dictionaries({}, optional={k: st.sampled_from(sorted(IMPLEMENTATIONS[k]))
                                                      for k in CLASS_METHODS}))
    ns = {name: IMPLEMENTATIONS[name][how] for name, how in chosen.items()}
    if "__eq__" in ns and "__hash__" not in ns:
        ns["__hash__"] = int.__hash__
    return ns


def add_member(K, value, name):
    """Enters a member without the search (which the hostile class could
    make fail while the world is being built)."""
    m = int.__new__(K, value)
    m.name = name
    setattr(K, name, m)
    K.__members__[name] = m
    return m


@PROFILE
@given(
    value=st.one_of(hostile(), plain_values()),
    member=st.one_of(st.none(), hostile()),
    first=st.booleans(),
    name=st.one_of(st.none(), st.just("N"), st.just("A"), hostile()),
    methods=hostile_methods(),
)
def test_member_search_and_creation(enum_base, value, member, first, name, methods):
    count("hostile: member search")

    def make_world():
        K = type(enum_base)("K", (enum_base,), dict(methods))
        world = {"K": K, "A": add_member(K, 1, "A"), "B": add_member(K, 2, "B"), "value": value,
                 "member": member, "name": name}
        if member is not None:
            # A registry entry that is no member: the search compares it too.
            items = list(K.__members__.items())
            K.__members__.clear()
            entries = [("H", member)] + items if first else items + [("H", member)]
            K.__members__.update(entries)
        return world

    def act(world, module):
        K = world["K"]
        if module:
            return K.__new__(K, world["value"], world["name"])
        return model.new(type(K), K, world["value"], world["name"])

    world_a, world_b = same_in_both(make_world, act)
    registry = [(k if type(k) is str else type(k).__name__, describe_in(w)(v)) for w in (world_a, world_b)
                for k, v in w["K"].__members__.items()]
    half = len(registry) // 2
    assert registry[:half] == registry[half:]


# ---------------------------------------------------------------------------
# The checksum conversion of the unpickling function.


@PROFILE
@given(checksum=st.one_of(hostile(), st.sampled_from([1, model.CHECKSUM, 2**31, -(2**31), 2**64, 1.5, "x"])),
       warnings_are_errors=st.booleans())
def test_checksum_conversion(enum_meta, weekdays, checksum, warnings_are_errors):
    count("hostile: checksum conversion")
    unpickle = weekdays.__qx_unpickle___Qx_EnumMeta

    def act(world, module):
        with warnings.catch_warnings():
            if warnings_are_errors:
                warnings.simplefilter("error")
            if module:
                return unpickle(enum_meta, world["checksum"], None)
            return model.unpickle(enum_meta, enum_meta, world["checksum"], None)

    same_in_both(lambda: {"checksum": checksum}, act)


# ---------------------------------------------------------------------------
# Subscription of a class built with the metaclass, and its sequence slot.

_PySequence_GetItem = ctypes.pythonapi["PySequence_GetItem"]  # not the shared attribute
_PySequence_GetItem.restype = ctypes.py_object
_PySequence_GetItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t]


def ordered_with(key):
    try:
        return collections.OrderedDict([("a", 1), (key, "found"), (0, "zero")])
    except Exception:  # noqa: BLE001 - the key cannot be hashed or compared: leave it out
        return collections.OrderedDict([("a", 1), (0, "zero")])


def registries(key):
    """Registries of each kind, some holding the key itself."""
    return st.sampled_from(
        [
            ("ordered", lambda: ordered_with(key)),
            ("dict", lambda: {"a": 1, -1: "minus one"}),
            ("deque", lambda: collections.deque(["d0", "d1", "d2"])),
            ("list", lambda: ["l0", "l1"]),
            ("tuple", lambda: ("t0",)),
            ("str", lambda: "abc"),
            ("int", lambda: 5),
            ("none", lambda: None),
            ("namespace", lambda: types.SimpleNamespace(a=1)),
            ("class", lambda: int),
        ]
    )


@st.composite
def subscriptions(draw):
    key = draw(st.one_of(hostile(), st.sampled_from([0, 1, -1, -4, 2, 2**63, -(2**63) - 1, 2**70, "a", 1.0, True, None])))
    return key, draw(registries(key))


@PROFILE
@given(subscriptions(), st.booleans())
def test_metaclass_subscription(enum_meta, drawn, warnings_are_errors):
    count("hostile: metaclass subscription")
    key, (kind, make_registry) = drawn

    def make_world():
        E = enum_meta("E", (int,), {})
        E.__members__ = make_registry()
        return {"E": E, "key": key}

    def act(world, module):
        E = world["E"]
        with warnings.catch_warnings():
            if warnings_are_errors:
                warnings.simplefilter("error")
            return E[world["key"]] if module else model.metaclass_getitem(E, world["key"])

    same_in_both(make_world, act)


@PROFILE
@given(st.integers(-5, 5), registries("a"))
def test_metaclass_sequence_item(enum_meta, index, registry):
    count("hostile: metaclass sequence item")
    kind, make_registry = registry

    def make_world():
        E = enum_meta("E", (int,), {})
        E.__members__ = make_registry()
        return {"E": E}

    def act(world, module):
        E = world["E"]
        # Sequence indexing of the class looks the integer up as a key.
        return _PySequence_GetItem(E, index) if module else model.metaclass_getitem(E, index)

    same_in_both(make_world, act)


# ---------------------------------------------------------------------------
# repr and str of members, and of anything handed to those two functions.


@PROFILE
@given(name=st.one_of(st.just("A"), hostile()), class_name=st.one_of(st.just("K"), hostile()),
       direct=st.one_of(st.none(), hostile()))
def test_member_repr_and_str(enum_base, name, class_name, direct):
    count("hostile: member repr and str")
    functions = enum_base.__dict__["__repr__"], enum_base.__dict__["__str__"]

    def make_world():
        class K(enum_base):
            pass

        m = K(1, "A")
        m.name = name
        if isinstance(class_name, str):
            K.__name__ = class_name  # a str subclass's own __str__ then decides
        return {"K": K, "m": m, "direct": direct}

    for i, strings in enumerate([model.MEMBER_REPR, model.MEMBER_STR]):
        def act(world, module):
            subject = world["m"] if world["direct"] is None else world["direct"]
            if module:
                return functions[i](subject) if world["direct"] is not None else (repr, str)[i](subject)
            return model.member_text(subject, strings)

        same_in_both(make_world, act)


# ---------------------------------------------------------------------------
# Registries replaced by non-mappings or mutated while they are walked.


class BoundValues:
    def __init__(self, result):
        self.result = result

    def values(self):
        return self.result


def failing_after(n):
    def values():
        yield from range(n)
        raise Boom(f"after {n}")

    return types.SimpleNamespace(values=values)


NON_MAPPINGS = {
    "int": lambda: 5,
    "none": lambda: None,
    "str": lambda: "ab",
    "list": lambda: [1, 2],
    "object": object,
    "values not callable": lambda: types.SimpleNamespace(values=5),
    "values not iterable": lambda: BoundValues(5),
    "values a hostile-free iterator": lambda: BoundValues(iter([1, 2])),
    "values raising": lambda: failing_after(1),
    "values a builtin": lambda: types.SimpleNamespace(values=[3, 1].copy),
    "deque": lambda: collections.deque([1, 2]),
}


@PROFILE
@given(st.sampled_from(sorted(NON_MAPPINGS)), st.sampled_from(["iterate", "search", "create", "subscript", "delete"]),
       st.one_of(hostile(), st.sampled_from([1, 2, 0, "a"])))
def test_replaced_registry(enum_base, kind, operation, probe):
    count("hostile: replaced registry")

    def make_world():
        K = fresh_class(enum_base)
        K(1, "A")
        if operation == "delete":
            del K.__members__
        else:
            K.__members__ = NON_MAPPINGS[kind]()
        return {"K": K, "probe": probe}

    def act(world, module):
        K = world["K"]
        if operation in ("iterate", "delete"):
            return list(K) if module else model.metaclass_iter(K)
        if operation == "subscript":
            return K[world["probe"]] if module else model.metaclass_getitem(K, world["probe"])
        name = None if operation == "search" else "N"
        if module:
            return K.__new__(K, world["probe"], name)
        return model.new(type(K), K, world["probe"], name)

    same_in_both(make_world, act)


MUTATIONS = ["add", "delete", "clear", "replace registry", "delete registry", "reorder"]


@PROFILE
@given(st.sampled_from(MUTATIONS), st.integers(0, 2), st.sampled_from([1, 2, 3, 9]), st.booleans())
def test_registry_mutated_during_the_search(enum_base, mutation, position, value, named):
    count("hostile: registry mutated during the search")

    def make_world():
        K = fresh_class(enum_base)

        class Mutator:
            """A registry entry whose comparison changes the registry."""

            def __eq__(self, other):
                registry = K.__members__
                if mutation == "add":
                    registry["Z"] = 9
                elif mutation == "delete":
                    registry.pop(next(iter(registry)))
                elif mutation == "clear":
                    registry.clear()
                elif mutation == "replace registry":
                    K.__members__ = collections.OrderedDict(Y=value)
                elif mutation == "delete registry":
                    del K.__members__
                else:
                    registry.move_to_end(next(iter(registry)))
                return False

            __hash__ = object.__hash__

        K(1, "A")
        K(2, "B")
        items = list(K.__members__.items())
        items.insert(position, ("M", Mutator()))
        K.__members__.clear()
        K.__members__.update(items)
        return {"K": K}

    def act(world, module):
        K = world["K"]
        name = "N" if named else None
        return K.__new__(K, value, name) if module else model.new(type(K), K, value, name)

    same_in_both(make_world, act)


def test_registry_mutated_while_the_class_is_iterated(enum_meta):
    E = enum_meta("E", (int,), {})
    E.__members__.update(a=1, b=2)
    seen = []
    try:
        for v in E:
            seen.append(v)
            E.__members__["c"] = 3
    except RuntimeError as exc:
        assert "mutated during iteration" in str(exc) or "changed size" in str(exc)
        assert not model.FREE_THREADED and seen == [1]
    else:
        # Without the GIL the walk is over a copy, taken under lock.
        assert model.FREE_THREADED and seen == [1, 2], seen
    # A registry replaced while iterating: the iteration goes on over the old one.
    seen = []
    for v in E:
        seen.append(v)
        E.__members__ = collections.OrderedDict(z=26)
    assert seen == [1, 2, 3] and list(E) == [26]


# ---------------------------------------------------------------------------
# State restore: only a missing __dict__ means there is nothing to restore.


def test_setstate_reports_a_failing_dict_lookup(enum_meta):
    class Meta(enum_meta):
        @property
        def __dict__(cls):
            raise LookupError("dict")

    C = Meta("C", (), {})
    exc, where = failure(lambda: enum_meta.__setstate__(C, ({"k": 1},)))
    assert type(exc) is LookupError and str(exc) == "dict"
    assert where == [("EnumBase.__Qx_EnumMeta.__setstate_qx__", 15, 1999),
                     ("EnumBase.__qx_unpickle___Qx_EnumMeta__set_state", 10, 2890)]

    class NoDict(enum_meta):
        @property
        def __dict__(cls):
            raise AttributeError("no dict")

    assert enum_meta.__setstate__(NoDict("D", (), {}), ({"k": 1},)) is None


# ---------------------------------------------------------------------------
# Hostile keys in the dictionaries the module reads while it reports an
# error. Each runs in a fresh interpreter, whose namespaces it spoils.


def test_hostile_key_in_the_module_dictionary():
    # The frame of a traceback entry looks __builtins__ up in the module's
    # dictionary, where a key of the same hash has its __eq__ called: that
    # must not happen with the exception being reported still pending.
    run_fresh("""
        import pickle
        import quendrix.core.enums.weekdays as w
        calls = []
        class Key:
            def __hash__(self):
                return hash("__builtins__")
            def __eq__(self, other):
                try:
                    raise KeyError(other)  # raised and caught inside
                except KeyError:
                    calls.append(other)
                return False
        d = vars(w)
        builtins = d.pop("__builtins__")
        d[Key()] = None
        d["__builtins__"] = builtins  # probed after the hostile key
        calls.clear()
        try:
            w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
        except pickle.PickleError as exc:
            tb = exc.__traceback__
            while tb.tb_next is not None:
                tb = tb.tb_next
            assert tb.tb_frame.f_code.co_name == "EnumBase.__qx_unpickle___Qx_EnumMeta"
        else:
            raise AssertionError("no PickleError")
        assert "__builtins__" in calls, calls
    """)


def test_hostile_key_in_the_runtime_switch_dictionary():
    # The switch lookup raises; creating the switch then compares the key
    # again, which must not happen with that error still pending.
    run_fresh("""
        import pickle, sys
        import quendrix.core.enums.weekdays as w
        class Key:
            def __hash__(self):
                return hash("impl_line_in_traceback")
            def __eq__(self, other):
                raise LookupError("hostile key")
        runtime = sys.modules["qx_runtime"]
        vars(runtime)[Key()] = None
        for _ in range(2):
            try:
                w.__qx_unpickle___Qx_EnumMeta(int, 1, None)
            except pickle.PickleError:
                pass
            else:
                raise AssertionError("no PickleError")
        assert not any(type(k) is str and k == "impl_line_in_traceback" for k in vars(runtime))
    """)
