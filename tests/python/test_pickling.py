"""Pickle support of the metaclass: the installed methods, the reduce value,
the checksum-guarded unpickling function and state restore."""
import pickle
import types

import pytest

from qx_entries import failure

SETSTATE = ("EnumBase.__Qx_EnumMeta.__setstate_qx__", 15, 1999)
UNPICKLE = "EnumBase.__qx_unpickle___Qx_EnumMeta"
SET_STATE = "EnumBase.__qx_unpickle___Qx_EnumMeta__set_state"
CHECKSUM = 222419149


def meta_with_dict(enum_meta, make_dict):
    """A metaclass whose classes show make_dict() as their __dict__."""

    class Meta(enum_meta):
        __dict__ = property(lambda cls: make_dict())

    return Meta("C", (), {})


def test_installed_methods_and_reduce_values(enum_meta, weekdays):
    keys = vars(enum_meta).keys()
    assert {"__reduce__", "__setstate__"} <= keys
    assert not {"__reduce_qx__", "__setstate_qx__"} & keys
    assert enum_meta.__reduce__.__name__ == "__reduce_qx__"
    assert enum_meta.__setstate__.__name__ == "__setstate_qx__"

    unpickle = weekdays.__qx_unpickle___Qx_EnumMeta
    E = enum_meta("E", (int,), {})
    func, args, state = enum_meta.__reduce__(E)
    assert (func, args) == (unpickle, (enum_meta, CHECKSUM, None))
    assert type(state) is tuple and len(state) == 1 and state[0] == dict(vars(E))

    def no_dict():
        raise AttributeError("no dict")

    C = meta_with_dict(enum_meta, no_dict)
    assert enum_meta.__reduce__(C) == (unpickle, (type(C), CHECKSUM, ()))


class TupleSub(tuple):
    pass


class CallableObject:
    def __call__(self, item):
        raise LookupError("object path")


def bound_update(holder, item):
    raise LookupError("function path")


def plain_update(item):
    raise LookupError("one-arg path")


def raising(error):
    def make():
        raise error

    return make


@pytest.mark.parametrize(
    "call, error, message, where",
    [
        (lambda M, u: u(M, 1, None), pickle.PickleError,
         "Incompatible checksums (1 vs 0xd41d8cd = ())", [(UNPICKLE, 4, 2727)]),
        (lambda M, u: u(M, 2**40, None), OverflowError, None, [(UNPICKLE, 1, 2603)]),
        (lambda M, u: u(M, "x", None), TypeError, None, [(UNPICKLE, 1, 2603)]),
        # type.__new__ refuses the type alone, so the state is never reached.
        (lambda M, u: u(M, CHECKSUM, []), TypeError, None, [(UNPICKLE, 5, 2757)]),
        (lambda M, u: M.__setstate__(M("E", (), {}), None), TypeError,
         "object of type 'NoneType' has no len()", [SETSTATE, (SET_STATE, 10, 2889)]),
        (lambda M, u: M.__setstate__(M("E", (), {}), []), TypeError, "Expected tuple, got list",
         [SETSTATE[:2] + (1998,)]),
        (lambda M, u: M.__setstate__(M("E", (), {}), TupleSub()), TypeError,
         "Expected tuple, got TupleSub", [SETSTATE[:2] + (1998,)]),
        # A class's __dict__ is a read-only proxy without update().
        (lambda M, u: M.__setstate__(M("E", (), {}), ({},)), AttributeError, None,
         [SETSTATE, (SET_STATE, 11, 2911)]),
        (lambda M, u: M.__reduce__(meta_with_dict(M, raising(LookupError))), LookupError, None,
         [("EnumBase.__Qx_EnumMeta.__reduce_qx__", 4, 1791)]),
    ],
)
def test_failures(enum_meta, weekdays, call, error, message, where):
    exc, found = failure(lambda: call(enum_meta, weekdays.__qx_unpickle___Qx_EnumMeta))
    assert type(exc) is error and found == where
    assert message is None or str(exc) == message


@pytest.mark.parametrize(
    "make_update, impl",
    [
        (lambda holder: plain_update, 2931),
        (lambda holder: types.MethodType(bound_update, holder), 2938),
        (lambda holder: types.MethodType(getattr, holder), 2947),  # getattr(holder, {})
        (lambda holder: types.MethodType(CallableObject(), holder), 2960),
    ],
)
def test_state_update_call_paths(enum_meta, make_update, impl):
    holder = types.SimpleNamespace()
    holder.update = make_update(holder)
    C = meta_with_dict(enum_meta, lambda: holder)
    exc, where = failure(lambda: enum_meta.__setstate__(C, ({},)))
    assert where == [SETSTATE, (SET_STATE, 11, impl)]

    received = []
    holder.update = received.append
    E = enum_meta("E", (), {})
    before = dict(vars(E))
    assert enum_meta.__setstate__(E, ()) is None and dict(vars(E)) == before
    assert enum_meta.__setstate__(C, ({"k": 1}, "ignored")) is None and received == [{"k": 1}]
