"""Random positional and keyword arguments against the three
argument-unpacking wrappers (__new__ of the fallback base, __init__ of the
metaclass, the unpickling function), compared with a pure-Python model of the
parsing rules followed by what each body is to do (qx_model's expectations).

Each example builds two identical worlds from the same tokens: the module is
called in one, the model and the expectation run in the other. They must
agree on the exception (type and message), on the traceback entry of its
failure point, on the warnings, and on what the body did with the values
that reached it: __new__ finds or creates members from
cls, value and name; the unpickling function reports the checksum it
received and fails on the type it received. The metaclass's __init__ hands
its three values to type.__init__, which ignores them, so there only the
outcome and the registry reset are observable.

The keyword dictionary is passed to the callee as it is (qx_hostile.call),
so its order, its key objects (interned names, equal copies, str subclasses,
keys whose hash or comparison differs, non-str keys) and None versus empty
all reach the wrapper unchanged."""
import collections
import pickle
import sys

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import qx_model as model
from qx_hostile import PROFILE, Boom, call, count
from qx_model import CHECKSUM, INIT, NEW, UNPICKLE

# ---------------------------------------------------------------------------
# Keys of the keyword dictionary.


class Plain(str):
    """A str subclass that hashes and compares like str."""


class OddHash(str):
    """Equal to its text but hashed differently: the probe misses it."""

    def __hash__(self):
        return 12345

    __eq__ = str.__eq__


class RaisingEq(str):
    """Hashed like its text; comparing it raises."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom(f"eq {str.__str__(self)}")


OTHER_TEXTS = ["bogus", "nam", "names", "", "valuex", "__qx_typ", "cls", "dct", "__qx_state", "value"]


def make_key(kind, text):
    if kind == "name":
        return sys.intern(text)
    if kind == "copy":
        return "".join(list(text))  # equal, not the interned object
    if kind == "plain":
        return Plain(text)
    if kind == "oddhash":
        return OddHash(text)
    if kind == "raising":
        return RaisingEq(text)
    if kind == "other":
        return sys.intern(text) if text else ""
    return {"int": 1, "bytes": text.encode()}[kind]


# Mostly the parameter's interned name; sometimes a key that must be matched
# another way, or that must not match at all.
KINDS = ["name"] * 6 + ["copy", "plain", "oddhash", "raising", "int", "bytes"]


def keys(sig):
    return st.one_of(
        st.tuples(st.sampled_from(KINDS), st.sampled_from(sig.names)),
        st.tuples(st.just("other"), st.sampled_from(OTHER_TEXTS)),
    )


@st.composite
def arguments(draw, sig, values):
    """(positional tokens, keyword items or None), biased towards calls that
    fill every parameter once, so that many examples reach the body."""
    n = draw(st.integers(0, sig.maximum + 1))
    args = draw(st.lists(values, min_size=n, max_size=n))
    if draw(st.integers(0, 4)) == 0:
        return args, None  # no keyword dictionary at all
    items = []
    for i, name in enumerate(sig.names):
        # Parameters left by the positional ones mostly come by keyword;
        # now and then one that was given positionally comes again.
        if (i >= n and draw(st.integers(0, 5)) > 0) or (i < n and draw(st.integers(0, 9)) == 0):
            items.append(((draw(st.sampled_from(KINDS)), name), draw(values)))
    items += draw(st.lists(st.tuples(keys(sig), values), max_size=2))
    return args, draw(st.permutations(items))


def build(tokens, kw_items, world):
    """The positional tuple and keyword dictionary of one world; rejects the
    example when building the dictionary itself raises (colliding keys)."""
    args = [world[t] for t in tokens]
    if kw_items is None:
        return args, None
    kwargs = {}
    try:
        for (kind, text), token in kw_items:
            kwargs[make_key(kind, text)] = world[token]
    except Boom:
        assume(False)
    return args, kwargs


def compare(sig, tokens, kw_items, make_world, module_call, reference, snapshot):
    world_a, world_b = make_world(), make_world()
    args_a, kwargs_a = build(tokens, kw_items, world_a)
    args_b, kwargs_b = build(tokens, kw_items, world_b)
    got = model.observed(lambda: module_call(world_a, args_a, kwargs_a), snapshot(world_a))
    want = model.expected(lambda: reference(world_b, *model.parse(sig, args_b, kwargs_b)), snapshot(world_b))
    model.same(got, want)
    assert snapshot(world_a)(None) == snapshot(world_b)(None)


# ---------------------------------------------------------------------------
# __new__ (cls, value, name=None) of the fallback base.

NEW_TOKENS = ["K", "L", 1, 2, 7, "7", "A", "B", 5, 1.0, None, (1, 2)]


def new_world(enum_base):
    def make():
        class K(enum_base):
            pass

        K(1, "A")
        world = {t: t for t in NEW_TOKENS}
        world.update(K=K, L=[2, 1.0])
        return world

    return make


def reference_new(world, cls, value, name):
    return model.new(type(world["K"]), cls, value, name)


def new_snapshot(world):
    K = world["K"]
    baseline = {"__module__", "__doc__", "__members__", "__qualname__"}

    def describe(result):
        members = [(k, int(v), v.name) for k, v in K.__members__.items()]
        # Dunder names are the interpreter's (3.13 adds some to every class).
        attrs = sorted((k, int(v)) for k, v in vars(K).items()
                       if k not in baseline and k != "A" and not k.startswith("__"))
        if result is None:
            return members, attrs
        if isinstance(result, K):
            return "member", int(result), result.name
        return "other", type(result).__name__, repr(result)

    return describe


@PROFILE
@given(arguments(NEW, st.sampled_from(NEW_TOKENS)))
def test_new_arguments_match_the_model(enum_base, drawn):
    count("arguments: __Qx_EnumBase.__new__")
    tokens, kw_items = drawn
    new = enum_base.__dict__["__new__"]
    compare(NEW, tokens, kw_items, new_world(enum_base), lambda w, a, k: call(new, a, k),
            reference_new, new_snapshot)


# ---------------------------------------------------------------------------
# __init__ (name, parents, dct) of the metaclass.

INIT_TOKENS = ["E", "x", "(int,)", "{}", None, 1]


def init_world(enum_meta):
    def make():
        E = enum_meta("E", (int,), {})
        E.__members__["x"] = 1
        world = {t: t for t in INIT_TOKENS}
        world.update({"E": E, "(int,)": (int,), "{}": {}})
        return world

    return make


def reference_init(world, name, parents, dct):
    model.init(world["E"], name, parents, dct)


def init_snapshot(world):
    def describe(result):
        members = world["E"].__members__
        return type(members).__name__, list(members.items()), result

    return describe


@PROFILE
@given(arguments(INIT, st.sampled_from(INIT_TOKENS)))
def test_init_arguments_match_the_model(enum_meta, drawn):
    count("arguments: __Qx_EnumMeta.__init__")
    tokens, kw_items = drawn
    compare(INIT, tokens, kw_items, init_world(enum_meta),
            lambda w, a, k: call(enum_meta.__init__, [w["E"], *a], k), reference_init, init_snapshot)


# ---------------------------------------------------------------------------
# __qx_unpickle___Qx_EnumMeta (__qx_type, __qx_checksum, __qx_state).

UNPICKLE_TOKENS = ["M", "int", "E", 1, CHECKSUM, 2**40, 2**70, -5, -(2**31), 2**31, 3.9, "x", None,
                   True, "()", "[]", "({},)"]


def unpickle_world(enum_meta):
    def make():
        world = {t: t for t in UNPICKLE_TOKENS}
        world.update({"M": enum_meta, "int": int, "E": enum_meta("E", (int,), {}), "()": (), "[]": [],
                      "({},)": ({},)})
        return world

    return make


def reference_unpickle(world, type_, checksum, state):
    return model.unpickle(world["M"], type_, checksum, state)


def unpickle_snapshot(world):
    return lambda result: None if result is None else type(result).__name__


@PROFILE
@given(arguments(UNPICKLE, st.sampled_from(UNPICKLE_TOKENS)))
def test_unpickle_arguments_match_the_model(enum_meta, weekdays, drawn):
    count("arguments: __qx_unpickle___Qx_EnumMeta")
    tokens, kw_items = drawn
    unpickle = weekdays.__qx_unpickle___Qx_EnumMeta
    compare(UNPICKLE, tokens, kw_items, unpickle_world(enum_meta),
            lambda w, a, k: call(unpickle, a, k), reference_unpickle, unpickle_snapshot)


# ---------------------------------------------------------------------------
# The keyword dictionary emptied while its values are in use: the values
# that reached the body must stay alive until the function returns.


class Tracked:
    """Records its own release; compares unequal after running `during`."""

    def __init__(self, events, tag, during=None):
        self.events, self.tag, self.during = events, tag, during

    def __eq__(self, other):
        if self.during is not None:
            self.during()
        self.events.append(f"eq {self.tag}")
        return False

    __hash__ = object.__hash__

    def __int__(self):
        if self.during is not None:
            self.during()
        self.events.append(f"int {self.tag}")
        return 1

    def __str__(self):
        self.events.append(f"str {self.tag}")
        return self.tag

    def __del__(self):
        self.events.append(f"del {self.tag}")


def test_new_keeps_its_values_when_the_body_empties_the_keywords(enum_base):
    class K(enum_base):
        pass

    K(1, "A")
    events, kwargs = [], {}
    kwargs["value"] = Tracked(events, "value", during=kwargs.clear)
    with pytest.raises(ValueError, match="Unknown enum value: 'value'"):
        call(enum_base.__dict__["__new__"], [K], kwargs)
    # The value outlived the search and the message; released on return.
    assert events == ["eq value", "str value", "del value"]


def test_new_keeps_its_values_when_a_probe_empties_the_keywords(enum_base):
    class K(enum_base):
        pass

    K(1, "A")
    events, kwargs = [], {}

    class Emptying(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            kwargs.clear()
            kwargs[sys.intern("name")] = "N"  # the probe restarts and finds this
            return False

    kwargs["value"] = Tracked(events, "value")
    kwargs[Emptying("name")] = None  # probed for `name` after `value` was found
    member = call(enum_base.__dict__["__new__"], [K], kwargs)
    assert (int(member), member.name, K.N) == (1, "N", member)
    # int.__new__ converted the value after the search compared it; it was
    # released when the function returned.
    assert events == ["eq value", "int value", "del value"]


def test_init_keeps_its_values_when_a_probe_empties_the_keywords(enum_meta):
    E = enum_meta("E", (int,), {})
    E.__members__["x"] = 1
    events, kwargs = [], {}

    class Emptying(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            kwargs.clear()
            kwargs[sys.intern("dct")] = {}
            return False

    kwargs["name"] = Tracked(events, "name")
    kwargs["parents"] = Tracked(events, "parents")
    kwargs[Emptying("dct")] = None
    assert call(enum_meta.__init__, [E], kwargs) is None
    assert E.__members__ == {}
    assert sorted(events) == ["del name", "del parents"]  # released on return


def test_unpickle_keeps_its_values_when_the_conversion_empties_the_keywords(weekdays):
    events, kwargs = [], {}
    kwargs["__qx_type"] = Tracked(events, "type")
    kwargs["__qx_checksum"] = Tracked(events, "checksum", during=kwargs.clear)
    kwargs["__qx_state"] = Tracked(events, "state")
    with pytest.raises(pickle.PickleError, match=r"Incompatible checksums \(1 vs"):
        call(weekdays.__qx_unpickle___Qx_EnumMeta, [], kwargs)
    # Nothing was released before the body had finished with it.
    assert events[0] == "int checksum"
    assert sorted(events[1:]) == ["del checksum", "del state", "del type"]
