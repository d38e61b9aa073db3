"""What the hostile-input property tests expect of the module, as its
behaviour is laid down: the argument-unpacking rules of the three functions
with named parameters, then, for the bodies and slots those tests drive, the
messages the module formats, the traceback entry (function, source line,
implementation line) that marks each failure point, and which outcome each
kind of input leads to.

An expectation raises Failed with the exception the module must raise and
the entries it must add, or returns what the module must return. Where a
step of the module hands its work to the interpreter (a comparison, a
formatting, int.__new__, an attribute store), the expectation has the
interpreter do that step, and places its outcome at that step's entry; the
module's own decisions (what is looked up, compared or formatted, in which
order, with which message, and where a failure is reported) come from the
tables here, not from a second reading of its code."""
import collections
import operator
import pickle
import sys
import warnings

import interpreter_facts as facts
from qx_entries import entries, impl_lines
from qx_hostile import outcome

# No GIL: walks over a registry that another thread may change are over copies.
FREE_THREADED = facts.FREE_THREADED

CHECKSUM = 0xD41D8CD


class Signature:
    def __init__(self, function, names, minimum, defaults=()):
        self.function = function
        self.names = [sys.intern(n) for n in names]
        self.minimum = minimum
        self.maximum = len(names)
        self.defaults = list(defaults)  # of the optional parameters, in order

    def count_error(self, found, point="count"):
        if found < self.minimum:
            expected, word = self.minimum, "at least"
        else:
            expected, word = self.maximum, "at most"
        if self.minimum == self.maximum:
            word = "exactly"
        plural = "" if expected == 1 else "s"
        error = TypeError(
            f"{self.function[:200]}() takes {word} {expected} positional argument{plural} ({found} given)"
        )
        error.point = point
        return error


NEW = Signature("__new__", ["cls", "value", "name"], 2, [None])
INIT = Signature("__init__", ["name", "parents", "dct"], 3)
UNPICKLE = Signature("__qx_unpickle___Qx_EnumMeta", ["__qx_type", "__qx_checksum", "__qx_state"], 3)


def key_text(key):
    """The text the interpreter's %U shows for a str (subclass) key."""
    return str.__str__(key)


def names_equal(name, key):
    # Identity, then the length, then the strings' contents (PyUnicode_Compare
    # compares the data; it calls no __eq__ or __len__ of a subclass).
    return name is key or (str.__len__(name) == str.__len__(key) and str.__eq__(name, key))


def model_keywords(sig, kwargs, values, n):
    for key, value in kwargs.items():
        matched = next((i for i in range(n, sig.maximum) if sig.names[i] is key), None)
        if matched is None:
            if not issubclass(type(key), str):
                raise TypeError(f"{sig.function[:200]}() keywords must be strings")
            matched = next((i for i in range(n, sig.maximum) if names_equal(sig.names[i], key)), None)
        if matched is not None:
            values[matched] = value
            continue
        if any(names_equal(sig.names[i], key) for i in range(n)):
            raise TypeError(f"{sig.function}() got multiple values for keyword argument '{key_text(key)}'")
        raise TypeError(f"{sig.function}() got an unexpected keyword argument '{key_text(key)}'")


def model_parse(sig, args, kwargs):
    """The values that reach the body, or the argument error."""
    n = len(args)
    values = [None] * (sig.maximum - len(sig.defaults)) + list(sig.defaults)
    if kwargs is None:
        if n < sig.minimum or n > sig.maximum:
            raise sig.count_error(n)
        values[:n] = args
        return values
    if n > sig.maximum:
        raise sig.count_error(n)
    values[:n] = args
    left = len(kwargs)
    missing = object()
    for i in range(n, sig.maximum):
        required = i < sig.minimum
        if not required and left <= 0:
            break
        found = kwargs.get(sig.names[i], missing)  # a probe with the name's hash
        if found is not missing:
            values[i] = found
            left -= 1
        elif required:
            # The first parameter missing counts as any other count error.
            raise sig.count_error(i, f"missing {i}" if i else "count")
    if left > 0:
        try:
            model_keywords(sig, kwargs, values, n)
        except TypeError as error:
            error.point = "keyword"
            raise
    return values


def parse(sig, args, kwargs):
    """model_parse, with its errors placed at the wrapper's failure points."""
    try:
        return model_parse(sig, args, kwargs)
    except Exception as error:  # noqa: BLE001 - a key's own comparison error too
        # A key's comparison failing, even in a probe for a required
        # parameter, is reported where a rejected keyword is.
        raise Failed(error, PARSE[sig.function][getattr(error, "point", "keyword")]) from None


# ---------------------------------------------------------------------------
# The messages the module formats.

UNKNOWN_VALUE = "Unknown enum value: '%s'"
MEMBER_REPR = "<%s.%s: %d>"
MEMBER_STR = "%s.%s"
CHECKSUMS = "Incompatible checksums (%s vs 0xd41d8cd = ())"
EXPECTED_TUPLE = "Expected %.16s, got %.200s"
NO_LEN = "object of type 'NoneType' has no len()"
INTEGER_REQUIRED = "an integer is required"
NON_INT = "__%.4s__ returned non-%.4s (type %.200s)"
DEPRECATED_INT = ("__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                  "subclass of int is deprecated, and may be removed in a future version of Python.")
NOT_SUBSCRIPTABLE = "'%.200s' object is not subscriptable"
CANNOT_FIT = "cannot fit '%.200s' into an index-sized integer"
# The 32-bit range check's text is the module's choice; beyond a C long the
# interpreter's conversion speaks.
TOO_LARGE_INT = "Python int too large to convert to C int"
TOO_LARGE_LONG = "Python int too large to convert to C long"


def type_name(t):
    """The type's tp_name, as the module's and the interpreter's messages show it."""
    heap = t.__flags__ & (1 << 9)
    return t.__name__ if heap or t.__module__ == "builtins" else f"{t.__module__}.{t.__name__}"


# ---------------------------------------------------------------------------
# Failure points: the traceback entry each adds.


class At:
    """A failure point: the entry's function, its source line and the
    implementation-file lines of the step (several where the step's call
    takes one of several paths)."""

    def __init__(self, function, line, *impl):
        self.function, self.line, self.impl = function, line, impl

    def matches(self, entry):
        return entry[0] == self.function and entry[1] == self.line and entry[2] in self.impl

    def __repr__(self):
        return f"({self.function!r}, {self.line}, {'|'.join(map(str, self.impl))})"


_NEW = "EnumBase.__Qx_EnumBase.__new__"
NEW_ITERATE = At(_NEW, 29, 2136)
NEW_NEXT = At(_NEW, 29, 2165)
NEW_COMPARE = At(_NEW, 30, 2181)
NEW_TRUTH = At(_NEW, 30, 2182)
NEW_MESSAGE = At(_NEW, 33, 2236)
NEW_RAISE = At(_NEW, 33, 2243)
NEW_INT_NEW = At(_NEW, 34, 2261, 2278, 2286, 2292, 2303)
NEW_SET_NAME = At(_NEW, 35, 2318)
NEW_SET_CLASS_ATTR = At(_NEW, 36, 2327)
NEW_MEMBERS = At(_NEW, 37, 2336)
NEW_REGISTER = At(_NEW, 37, 2338)

_ITER = "EnumBase.__Qx_EnumMeta.__iter__"
ITER_MEMBERS = At(_ITER, 20, 1626)
ITER_VALUES = At(_ITER, 20, 1628)
ITER_CALL = At(_ITER, 20, 1642, 1645)
ITER_ITERATOR = At(_ITER, 20, 1649)

_GETITEM = "EnumBase.__Qx_EnumMeta.__getitem__"
GETITEM_MEMBERS = At(_GETITEM, 22, 1713)
GETITEM_SUBSCRIPT = At(_GETITEM, 22, 1715)

_REPR, _STR = "EnumBase.__Qx_EnumBase.__repr__", "EnumBase.__Qx_EnumBase.__str__"
REPR_CLASS, REPR_CLASS_NAME, REPR_NAME, REPR_FORMAT = (At(_REPR, 40, n) for n in (2415, 2417, 2420, 2433))
STR_CLASS, STR_CLASS_NAME, STR_NAME, STR_FORMAT = (At(_STR, 42, n) for n in (2499, 2501, 2504, 2514))

_UNPICKLE = "EnumBase.__qx_unpickle___Qx_EnumMeta"
UNPICKLE_CONVERT = At(_UNPICKLE, 1, 2603)
UNPICKLE_RAISE = At(_UNPICKLE, 4, 2727)
UNPICKLE_NEW = At(_UNPICKLE, 5, 2757, 2763, 2771, 2777, 2783)
UNPICKLE_STATE_TYPE = At(_UNPICKLE, 7, 2810)
UNPICKLE_SET_STATE = At(_UNPICKLE, 7, 2811)
_SET_STATE = "EnumBase.__qx_unpickle___Qx_EnumMeta__set_state"
SET_STATE_NONE = At(_SET_STATE, 10, 2889)
SET_STATE_DICT = At(_SET_STATE, 11, 2909)
SET_STATE_UPDATE = At(_SET_STATE, 11, 2911)
SET_STATE_CALL = At(_SET_STATE, 11, 2931, 2938, 2947, 2954, 2960)


# The argument-unpacking wrappers' failure points: a required parameter
# missing from the keywords (by its index), a keyword rejected, any other
# count error.
PARSE = {
    "__new__": {"missing 1": At(_NEW, 28, 2067), "keyword": At(_NEW, 28, 2077), "count": At(_NEW, 28, 2095)},
    "__init__": {"missing 1": At("EnumBase.__Qx_EnumMeta.__init__", 16, 1427),
                 "missing 2": At("EnumBase.__Qx_EnumMeta.__init__", 16, 1433),
                 "keyword": At("EnumBase.__Qx_EnumMeta.__init__", 16, 1437),
                 "count": At("EnumBase.__Qx_EnumMeta.__init__", 16, 1452)},
    "__qx_unpickle___Qx_EnumMeta": {"missing 1": At(_UNPICKLE, 1, 2583), "missing 2": At(_UNPICKLE, 1, 2589),
                                    "keyword": At(_UNPICKLE, 1, 2593), "count": At(_UNPICKLE, 1, 2608)},
}
_INIT = "EnumBase.__Qx_EnumMeta.__init__"
INIT_TYPE_INIT = At(_INIT, 17, 1482, 1499, 1507, 1513, 1530)
INIT_REGISTRY = At(_INIT, 18, 1556, 1559)
INIT_STORE = At(_INIT, 18, 1563)


class Failed(Exception):
    """The module must raise exc, adding these entries (outermost first)."""

    def __init__(self, exc, *where):
        super().__init__(exc)
        self.exc, self.where = exc, list(where)


def step(at, action, *args):
    """A step of the module that the interpreter (or the input's own
    methods) carries out: its failure is the module's, reported at `at`."""
    try:
        return action(*args)
    except Failed as failed:
        failed.where.insert(0, at)
        raise
    except Exception as exc:  # noqa: BLE001 - any error of the step is the outcome
        raise Failed(exc, at) from None


def fail(exc, at):
    raise Failed(exc, at)


# ---------------------------------------------------------------------------
# Expectations.


def truth(r):
    """The truth of a comparison result: True, False and None without a call."""
    if r is True or r is False or r is None:
        return r is True
    return bool(r)


def metaclass_values(cls):
    """iter(cls) of a class built with the metaclass: the registry's values()
    (without the GIL, over a copy when the registry is an OrderedDict)."""
    members = step(ITER_MEMBERS, getattr, cls, "__members__")
    values = step(ITER_VALUES, getattr, members, "values")
    result = step(ITER_CALL, values)
    if FREE_THREADED and type(members) is collections.OrderedDict:
        result = list(result)
    return step(ITER_ITERATOR, iter, result)


def metaclass_iter(cls):
    """list(cls): the items, or Failed; an error of the walk itself is the
    iterator's, with no entry of the module's."""
    it = metaclass_values(cls)
    try:
        return list(it)
    except Exception as exc:  # noqa: BLE001 - the walk's own error
        raise Failed(exc) from None


# Registries with sequence indexing but no mapping subscript; those with a
# mapping subscript of their own.
SEQUENCE_ONLY = (collections.deque,)
MAPPING_SUBSCRIPT = (dict, collections.OrderedDict, list, tuple, str)


def metaclass_getitem(cls, key):
    members = step(GETITEM_MEMBERS, getattr, cls, "__members__")
    return step(GETITEM_SUBSCRIPT, subscript, members, key)


def subscript(obj, key):
    """The registry's own mapping subscript when its type has one, else
    sequence indexing with the key as an index."""
    t = type(obj)
    if t in MAPPING_SUBSCRIPT:
        return obj[key]
    if t not in SEQUENCE_ONLY:
        raise TypeError(NOT_SUBSCRIPTABLE % type_name(t))
    i = key if type(key) is int else operator.index(key)
    if not -(2**63) <= i < 2**63:
        raise IndexError(CANNOT_FIT % type_name(type(key)))
    if i < 0:
        i += len(obj)
    if not 0 <= i < len(obj):
        raise IndexError(f"{type(obj).__name__} index out of range")
    return obj[i]


def new(meta, cls, value, name):
    """__new__ of the fallback base: the first registry value (in registry
    order) that compares equal to value, whatever the name; else, without a
    name, the ValueError; else a new member of that name."""
    if type(cls) in (list, tuple):
        candidates = _by_index(cls)
    elif getattr(type(cls), "__iter__", None) is meta.__iter__:
        candidates = step(NEW_ITERATE, metaclass_values, cls)
    else:
        candidates = step(NEW_ITERATE, iter, cls)
    while True:
        try:
            v = next(candidates)
        except StopIteration:
            break
        except Exception as exc:  # noqa: BLE001 - the walk's own error
            fail(exc, NEW_NEXT)
        r = step(NEW_COMPARE, operator.eq, v, value)
        if step(NEW_TRUTH, truth, r):
            return v
    if name is None:
        message = step(NEW_MESSAGE, operator.mod, UNKNOWN_VALUE, value)
        fail(ValueError(message), NEW_RAISE)
    res = step(NEW_INT_NEW, int.__new__, cls, value)
    step(NEW_SET_NAME, setattr, res, "name", name)
    step(NEW_SET_CLASS_ATTR, setattr, cls, name, res)
    members = step(NEW_MEMBERS, getattr, cls, "__members__")
    step(NEW_REGISTER, operator.setitem, members, name, res)
    return res


def _by_index(seq):
    """A list's or tuple's items by index, its length read at each step."""
    i = 0
    while i < len(seq):
        yield seq[i]
        i += 1


def init(cls, name, parents, dct):
    """__init__ of the metaclass: type.__init__ with the three values, then
    a new empty registry, whatever was there."""
    step(INIT_TYPE_INIT, type.__init__, cls, name, parents, dct)
    registry = step(INIT_REGISTRY, collections.OrderedDict)
    step(INIT_STORE, setattr, cls, "__members__", registry)


def member_text(self, strings):
    """repr (MEMBER_REPR, with the value) or str (MEMBER_STR) of a member."""
    at = (REPR_CLASS, REPR_CLASS_NAME, REPR_NAME, REPR_FORMAT) if strings is MEMBER_REPR else (
        STR_CLASS, STR_CLASS_NAME, STR_NAME, STR_FORMAT)
    cls = step(at[0], getattr, self, "__class__")
    class_name = step(at[1], getattr, cls, "__name__")
    name = step(at[2], getattr, self, "name")
    values = (class_name, name, self) if strings is MEMBER_REPR else (class_name, name)
    return step(at[3], operator.mod, strings, values)


def _int_result(result):
    """What the conversion makes of the result of an object's __int__: an
    exact int's value; an int subclass's, after the deprecation warning;
    anything else is refused."""
    if type(result) is int:
        return to_int32(result)
    if isinstance(result, int):
        warnings.warn(DEPRECATED_INT % type_name(type(result)), DeprecationWarning)
        return to_int32(int.__int__(result))
    raise TypeError(NON_INT % ("int", "int", type_name(type(result))))


def to_int32(x):
    """The checksum conversion: an int (subclasses included) by its value,
    with no method called; anything else through its type's __int__."""
    if isinstance(x, int):
        v = int.__int__(x)
        if not -(2**63) <= v < 2**63:
            raise OverflowError(TOO_LARGE_LONG)
        if not -(2**31) <= v < 2**31:
            raise OverflowError(TOO_LARGE_INT)
        return v
    convert = getattr(type(x), "__int__", None)
    if convert is None:
        raise TypeError(INTEGER_REQUIRED)
    return _int_result(convert(x))


def unpickle(meta, type_, checksum, state):
    """__qx_unpickle___Qx_EnumMeta once its arguments are parsed."""
    value = step(UNPICKLE_CONVERT, to_int32, checksum)
    if value != CHECKSUM:
        fail(pickle.PickleError(CHECKSUMS % value), UNPICKLE_RAISE)
    result = step(UNPICKLE_NEW, meta.__new__, type_)
    if state is not None:
        if type(state) is not tuple:
            fail(TypeError(EXPECTED_TUPLE % ("tuple", type_name(type(state)))), UNPICKLE_STATE_TYPE)
        step(UNPICKLE_SET_STATE, set_state, result, state)
    return result


def set_state(obj, state):
    if state is None:
        fail(TypeError(NO_LEN), SET_STATE_NONE)
    if not state or not hasattr(obj, "__dict__"):
        return None
    d = step(SET_STATE_DICT, getattr, obj, "__dict__")
    update = step(SET_STATE_UPDATE, getattr, d, "update")
    step(SET_STATE_CALL, update, state[0])
    return None


def observed(thunk, describe=repr):
    """The module's outcome, in the same form as expected(): the entries it
    added, read with their implementation lines shown."""
    where = []

    def run():
        try:
            return thunk()
        except Exception as exc:
            for name, line in entries(exc):
                function, _, impl = name.rpartition(" (")
                where.append((function, line, int(impl.rstrip(")").rpartition(":")[2])))
            raise

    with impl_lines(True):
        result = outcome(run, describe)
    return result + (where,)


def expected(thunk, describe=repr):
    """The expectation's outcome, in the form of qx_hostile.outcome, plus the
    entries: ('ok', result) or ('error', type, message), the warnings, and
    the failure points."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        where = []
        try:
            result = ("ok", describe(thunk()))
        except Failed as failed:
            result = ("error", type(failed.exc), _message(failed.exc))
            where = failed.where
    return result + (tuple((w.category, str(w.message)) for w in caught), where)


def _message(exc):
    try:
        return str(exc)
    except Exception as failure:  # noqa: BLE001
        return ("str() failed", type(failure), [type(a).__name__ for a in exc.args])


def same(got, want):
    """The module's outcome (with its entries) against the expectation's."""
    *got_outcome, got_where = got
    *want_outcome, want_where = want
    assert got_outcome == want_outcome, (got_outcome, want_outcome)
    assert len(got_where) == len(want_where) and all(
        at.matches(entry) for at, entry in zip(want_where, got_where)), (got_where, want_where)
