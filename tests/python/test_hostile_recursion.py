"""Recursion exhaustion through nested calls: Python code called by the
module calls back into it until the interpreter's limit is hit. The result
is the RecursionError Python code would see, and afterwards the module works
and the interpreter's whole recursion budget is there again (a leaked level
of its recursion counter would shrink it)."""
import collections
import contextlib
import sys
import types

import pytest


def depth():
    frame, n = sys._getframe(), 0
    while frame is not None:
        frame, n = frame.f_back, n + 1
    return n


@contextlib.contextmanager
def recursion_limit(headroom=150):
    """A low limit, so that the exhaustion is quick and the C stack shallow."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(depth() + headroom)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def down(n):
    return 0 if n == 0 else 1 + down(n - 1)


def exhausts(call):
    with recursion_limit():
        with pytest.raises(RecursionError):
            call()
        # The budget is whole again: nearly all of it can still be used.
        available = sys.getrecursionlimit() - depth() - 10
        assert down(available) == available


@pytest.fixture
def K(enum_base):
    class K(enum_base):
        pass

    K(1, "A")
    return K


def test_member_search_that_compares_by_searching(K):
    class Recursive:
        def __eq__(self, other):
            return K(self) is other

        __hash__ = object.__hash__

    exhausts(lambda: K(Recursive()))
    assert K(1) is K.A


def test_member_creation_that_converts_by_creating(K):
    class Recursive:
        def __index__(self):
            return int(K(self, "B"))

    exhausts(lambda: K(Recursive(), "B"))
    assert list(K.__members__) == ["A"]


class CallsBack:
    """A callable object: the call goes through its type's call slot."""

    def __init__(self, target):
        self.target = target

    def __call__(self):
        return list(self.target())


class DictIteratesClass:
    def __init__(self, target):
        object.__setattr__(self, "target", target)

    @property
    def __dict__(self):
        list(object.__getattribute__(self, "target"))
        return {}


@pytest.mark.parametrize("shape", ["function", "bound method", "callable object", "builtin"])
def test_iteration_whose_values_iterate_the_class(K, shape):
    if shape == "function":
        values = lambda: list(K)  # noqa: E731
    elif shape == "bound method":
        values = types.MethodType(lambda self: list(K), object())
    elif shape == "callable object":
        values = CallsBack(lambda: K)
    else:
        # A builtin method without arguments (object.__dir__) that reads the
        # instance's __dict__, here a property that iterates the class again.
        values = DictIteratesClass(K).__dir__
    K.__members__ = types.SimpleNamespace(values=values)
    exhausts(lambda: list(K))
    K.__members__ = collections.OrderedDict(A=1)
    assert list(K) == [1]


def test_subscription_whose_registry_subscribes_the_class(enum_meta):
    E = enum_meta("E", (int,), {})

    class Registry:
        def __getitem__(self, key):
            return E[key]

    E.__members__ = Registry()
    exhausts(lambda: E["a"])
    E.__members__ = {"a": 1}
    assert E["a"] == 1


def test_repr_whose_name_formats_the_member(K):
    m = K.A

    class Name:
        def __str__(self):
            return repr(m)

    m.name = Name()
    exhausts(lambda: repr(m))
    exhausts(lambda: str(m))
    m.name = "A"
    assert repr(m) == "<K.A: 1>"


def test_checksum_whose_conversion_unpickles(enum_meta, weekdays):
    unpickle = weekdays.__qx_unpickle___Qx_EnumMeta

    class Checksum:
        def __int__(self):
            return unpickle(enum_meta, self, None)

    exhausts(lambda: unpickle(enum_meta, Checksum(), None))


def test_initialiser_whose_registry_store_initialises(enum_meta):
    class Meta(enum_meta):
        def __setattr__(cls, name, value):
            enum_meta.__init__(cls, "E", (int,), {})

    exhausts(lambda: Meta("E", (int,), {}))


def test_setstate_whose_update_sets_the_state(enum_meta):
    class Meta(enum_meta):
        @property
        def __dict__(cls):
            return types.SimpleNamespace(update=lambda state: enum_meta.__setstate__(cls, (state,)))

    E = Meta("E", (), {})
    exhausts(lambda: enum_meta.__setstate__(E, ({},)))
