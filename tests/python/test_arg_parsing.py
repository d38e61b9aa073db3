"""Arguments of the three functions with named parameters: __new__ of the
base class, __init__ of the metaclass and the unpickling function."""
import ctypes
import types

import pytest

from qx_entries import count_message, failure

NEW = ("EnumBase.__Qx_EnumBase.__new__", 28)
INIT = ("EnumBase.__Qx_EnumMeta.__init__", 16)
UNPICKLE = ("EnumBase.__qx_unpickle___Qx_EnumMeta", 1)
U = "__qx_unpickle___Qx_EnumMeta"


def call_with_dict(func, args, kwargs):
    """A call with a keyword dictionary the interpreter would not build (non-str keys)."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype, api.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    return api(func, tuple(args), kwargs)


@pytest.fixture
def ns(enum_base, enum_meta, weekdays):
    class K(enum_base):
        pass

    K(1, "A")
    return types.SimpleNamespace(K=K, new=K.__new__, M=enum_meta, init=enum_meta.__init__,
                                 E=enum_meta("E", (int,), {}),
                                 u=weekdays.__qx_unpickle___Qx_EnumMeta)


def dup(function, key):
    return f"{function}() got multiple values for keyword argument '{key}'"


# The number found counts what was filled before the missing parameter,
# keywords included; an empty dictionary takes the keyword path.
ERRORS = [
    (lambda n: n.new(n.K), count_message("__new__", "at least", 2, 1), NEW, 2095),
    (lambda n: n.new(), count_message("__new__", "at least", 2, 0), NEW, 2095),
    (lambda n: n.new(n.K, 1, "A", 4, 5), count_message("__new__", "at most", 3, 5), NEW, 2095),
    (lambda n: n.new(n.K, 1, "A", 4, x=1), count_message("__new__", "at most", 3, 4), NEW, 2095),
    (lambda n: n.new(value=1), count_message("__new__", "at least", 2, 0), NEW, 2095),
    (lambda n: n.new(cls=n.K), count_message("__new__", "at least", 2, 1), NEW, 2067),
    (lambda n: n.new(n.K, **{}), count_message("__new__", "at least", 2, 1), NEW, 2067),
    (lambda n: n.new(n.K, 1, value=1), dup("__new__", "value"), NEW, 2077),
    (lambda n: n.new(n.K, 1, **{"".join(["val", "ue"]): 1}), dup("__new__", "value"), NEW, 2077),
    (lambda n: n.new(n.K, 1, bogus=2), "__new__() got an unexpected keyword argument 'bogus'",
     NEW, 2077),
    (lambda n: call_with_dict(n.new, (n.K, 1), {1: 2}), "__new__() keywords must be strings",
     NEW, 2077),
    (lambda n: n.init(n.E, "E", (int,)), count_message("__init__", "exactly", 3, 2), INIT, 1452),
    (lambda n: n.init(n.E, **{}), count_message("__init__", "exactly", 3, 0), INIT, 1452),
    (lambda n: n.init(n.E, 1, 2, 3, 4), count_message("__init__", "exactly", 3, 4), INIT, 1452),
    (lambda n: n.init(n.E, name="E", dct={}), count_message("__init__", "exactly", 3, 1), INIT,
     1427),
    (lambda n: n.init(n.E, "E", parents=()), count_message("__init__", "exactly", 3, 2), INIT, 1433),
    (lambda n: n.init(n.E, "E", (), {}, bogus=1),
     "__init__() got an unexpected keyword argument 'bogus'", INIT, 1437),
    (lambda n: n.u(n.M, 1), count_message(U, "exactly", 3, 2), UNPICKLE, 2608),
    (lambda n: n.u(__qx_checksum=1, __qx_state=None), count_message(U, "exactly", 3, 0),
     UNPICKLE, 2608),
    (lambda n: n.u(n.M, __qx_state=None), count_message(U, "exactly", 3, 1), UNPICKLE, 2583),
    (lambda n: n.u(n.M, __qx_checksum=1), count_message(U, "exactly", 3, 2), UNPICKLE, 2589),
    (lambda n: n.u(n.M, 1, None, __qx_type=1), dup(U, "__qx_type"), UNPICKLE, 2593),
    (lambda n: call_with_dict(n.u, (n.M, 1), {"__qx_state": None, 2: 3}),
     f"{U}() keywords must be strings", UNPICKLE, 2593),
]


@pytest.mark.parametrize("call, message, entry, impl", ERRORS)
def test_argument_errors(ns, call, message, entry, impl):
    exc, where = failure(lambda: call(ns))
    assert type(exc) is TypeError and str(exc) == message
    assert where == [(*entry, impl)]


def test_keywords_fill_parameters(ns):
    K, m = ns.K, ns.K.A
    assert ns.new(K, value=1) is m
    assert ns.new(cls=K, value=1, name="A") is m
    assert ns.new(K, 1, **{}) is m
    assert ns.init(ns.E, name="E", parents=(int,), dct={}) is None

    class OddHash(str):
        def __hash__(self):
            return 12345

        __eq__ = str.__eq__

    # The hashed probe misses `name`; the matcher finds it by comparison.
    created = ns.new(K, 5, **{OddHash("name"): "E"})
    assert created.name == "E" and K.E is created
