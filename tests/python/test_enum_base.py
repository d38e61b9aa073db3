"""The fallback base class: finding and creating members, repr and str."""
import collections

import interpreter_facts as facts
import pytest

from qx_entries import failure

NEW = "EnumBase.__Qx_EnumBase.__new__"


@pytest.fixture
def K(enum_base):
    class K(enum_base):
        pass

    return K


def test_the_class_as_built(enum_base, enum_meta):
    assert type(enum_base) is enum_meta and enum_base.__metaclass__ is enum_meta
    assert enum_base.__bases__ == (int,) and enum_base.__qualname__ == "__Qx_EnumBase"
    assert enum_base.__module__ == "EnumBase"
    assert type(enum_base.__members__) is collections.OrderedDict and not enum_base.__members__


def test_members_are_created_then_found_by_value(K):
    m = K(1, "A")
    assert type(m) is K and int(m) == 1 and m.name == "A" and K.A is m
    assert list(K.__members__) == ["A"] and list(K) == [m]
    assert (repr(m), str(m)) == ("<K.A: 1>", "K.A")
    for probe in ([1], [1, "B"], [1.0], [True]):
        assert K(*probe) is m
    assert not hasattr(K, "B")
    # The search compares with the str "7"; the new member gets int("7").
    seven, s = K(7, "Seven"), K("7", "S")
    assert s is not seven and int(s) == 7 and list(K.__members__) == ["A", "Seven", "S"]
    # Lists and tuples given as the class are walked by index.
    assert K.__new__([5, 6.0], 6) == 6.0


def test_unknown_values(K):
    K(1, "A")

    class D(K):
        pass

    exc, where = failure(lambda: D(1))  # a subclass has its own registry
    assert type(exc) is ValueError and str(exc) == "Unknown enum value: '1'"
    assert where == [(NEW, 33, 2243)]
    # A tuple value supplies the format's arguments itself.
    exc, where = failure(lambda: K((1, 2)))
    assert type(exc) is TypeError and "not all arguments converted" in str(exc)
    assert where == [(NEW, 33, 2236)]
    # A list or tuple given as the class is compared item by item, up to its
    # end and no further.
    class Spy:
        def __eq__(self, other):
            seen.append(other)
            return False

        def __repr__(self):
            return "spy"

    for members in ((5, 6.0), [5, 6.0]):
        seen = []
        exc, where = failure(lambda: K.__new__(members, Spy()))
        assert (type(exc), str(exc), where) == (ValueError, "Unknown enum value: 'spy'", [(NEW, 33, 2243)])
        assert seen == [5, 6.0]


class BadEq:
    def __eq__(self, other):
        raise ArithmeticError("eq")


class BadTruth:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise ArithmeticError("truth")


class Registry:
    """values() yields the items, then raises fail if given; no item assignment."""

    def __init__(self, *items, fail=None):
        self.items, self.fail = items, fail

    def values(self):
        yield from self.items
        if self.fail:
            raise self.fail


@pytest.mark.parametrize(
    "registry, value, name, error, line, impl",
    [
        (None, 5, "X", TypeError, 29, 2136),  # the class given is not iterable
        (Registry(fail=ArithmeticError()), 5, "X", ArithmeticError, 29, 2165),
        (Registry(BadEq()), 5, "X", ArithmeticError, 30, 2181),
        (Registry(BadTruth()), 5, "X", ArithmeticError, 30, 2182),
        # int.__new__ rejects "x"; the line names the path its call took.
        (Registry(), "x", "X", ValueError, 34, 2286 if facts.TYPE_NEW_WRAPPER_IS_FASTCALL else 2303),
        (Registry(), 5, 5, TypeError, 36, 2327),  # a name that is no str
        (Registry(), 5, "X", TypeError, 37, 2338),
    ],
)
def test_new_failure_points(K, registry, value, name, error, line, impl):
    if registry is None:
        call = lambda: K.__new__(5, value, name)  # noqa: E731
    else:
        K.__members__ = registry
        call = lambda: K(value, name)  # noqa: E731
    exc, where = failure(call)
    assert type(exc) is error and where == [(NEW, line, impl)]


def test_member_that_cannot_take_its_name(enum_base, enum_meta):
    # No __dict__ anywhere in the chain: the member cannot hold `name`.
    Slotted = enum_meta("Slotted", (int,), {"__slots__": (), "__new__": enum_base.__new__})
    exc, where = failure(lambda: Slotted(3, "C"))
    assert type(exc) is AttributeError and where == [(NEW, 35, 2318)]
    assert list(Slotted.__members__) == []


class NoClass:
    name = "n"

    def __getattribute__(self, attr):
        if attr == "__class__":
            raise LookupError(attr)
        return object.__getattribute__(self, attr)


class NamelessClass:
    name = "n"
    __class__ = property(lambda self: 5)


class NotANumber:
    name = "n"


@pytest.mark.parametrize(
    "make, error, repr_impl, str_impl",
    [
        (NoClass, LookupError, 2415, 2499),
        (NamelessClass, AttributeError, 2417, 2501),
        (int, AttributeError, 2420, 2504),  # no attribute `name`
        (NotANumber, TypeError, 2433, None),  # "%d" needs a number; "%s.%s" does not
    ],
)
def test_repr_and_str_failure_points(enum_base, make, error, repr_impl, str_impl):
    obj = make()
    for key, line, impl in [("__repr__", 40, repr_impl), ("__str__", 42, str_impl)]:
        func = enum_base.__dict__[key]
        if impl is None:
            assert func(obj) == "NotANumber.n"
            continue
        exc, where = failure(lambda: func(obj))
        assert type(exc) is error
        assert where == [(f"EnumBase.__Qx_EnumBase.{key}", line, impl)]
