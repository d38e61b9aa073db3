"""The metaclass: member registry, iteration, subscription and the slots it
forwards to type."""
import collections
import ctypes
import gc
import weakref

import pytest

from qx_entries import entries, failure, impl_lines

ITER = ("EnumBase.__Qx_EnumMeta.__iter__", 20)
GETITEM = ("EnumBase.__Qx_EnumMeta.__getitem__", 22)


def sequence_item(obj, i):
    api = ctypes.pythonapi.PySequence_GetItem
    api.restype, api.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    return api(obj, i)


@pytest.fixture
def E(enum_meta):
    return enum_meta("E", (int,), {})


def test_type_and_new_class(enum_meta, E):
    assert (enum_meta.__name__, enum_meta.__module__) == ("__Qx_EnumMeta", "quendrix.core.enums.weekdays")
    assert enum_meta.__doc__ is None and enum_meta.__bases__ == (type,)
    assert enum_meta.__itemsize__ == type.__itemsize__
    assert type(E) is enum_meta and E.__bases__ == (int,)
    assert type(E.__members__) is collections.OrderedDict and not E.__members__
    assert list(E) == []


def test_registry_drives_iteration_and_subscription(enum_meta, E):
    E.__members__["a"], E.__members__["b"], E.__members__[0] = 1, 2, "zero"
    assert list(E) == [1, 2, "zero"] and E["b"] == 2
    assert sequence_item(E, 0) == "zero"  # the integer key, through mp_subscript

    class Meta(enum_meta):
        def __getitem__(cls, key):
            return ("override", key)

    assert sequence_item(Meta("C", (), {}), 3) == ("override", 3)
    old = E.__members__
    assert enum_meta.__init__(E, "E", (int,), {}) is None
    assert E.__members__ is not old and E.__members__ == {}


class BoundValues:
    def values(self):
        raise LookupError("bound")


class PlainValues:
    def __init__(self):
        def values():
            raise LookupError("plain")

        self.values = values  # not a bound method: called without a self


class NotIterableValues:
    def values(self):
        return 42


@pytest.mark.parametrize(
    "registry, call, error, entry, impl",
    [
        (None, iter, AttributeError, ITER, 1626),
        (None, lambda E: E["a"], AttributeError, GETITEM, 1713),
        ({}, lambda E: E["zz"], KeyError, GETITEM, 1715),
        (5, iter, AttributeError, ITER, 1628),
        (BoundValues(), iter, LookupError, ITER, 1642),
        (PlainValues(), iter, LookupError, ITER, 1645),
        (NotIterableValues(), iter, TypeError, ITER, 1649),
    ],
)
def test_iteration_and_lookup_failures(E, registry, call, error, entry, impl):
    if registry is None:
        del E.__members__
    else:
        E.__members__ = registry
    exc, where = failure(lambda: call(E))
    assert type(exc) is error and where == [(*entry, impl)]


def test_init_fails_when_the_registry_cannot_be_set(enum_meta):
    class Locked(enum_meta):
        def __setattr__(cls, name, value):
            raise PermissionError(name)

    exc, where = failure(lambda: Locked("L", (), {}))
    assert type(exc) is PermissionError and exc.args == ("__members__",)
    assert where == [("EnumBase.__Qx_EnumMeta.__init__", 18, 1563)]


def test_entry_name_is_plain_while_the_switch_is_false(E):
    with impl_lines(False), pytest.raises(KeyError) as info:
        E["missing"]
    assert entries(info.value) == [GETITEM]


def test_slots_statements_and_collection(enum_meta, enum_base):
    S = enum_meta("S", (), {"__slots__": ("a", "b")})
    s = S()
    s.a, s.b = 1, 2
    assert (s.a, s.b) == (1, 2)

    class K(enum_base):
        pass

    assert type(K) is enum_meta and K.__members__ == {} and K.__members__ is not enum_base.__members__

    finalized = []

    class Meta(enum_meta):
        def __del__(cls):
            finalized.append(cls.__name__)

    refs = [weakref.ref(enum_meta("Gone", (int,), {})), weakref.ref(Meta("Fin", (), {}))]
    gc.collect()
    assert [r() for r in refs] == [None, None] and finalized == ["Fin"]
