"""A small pure-Python model of the module's behaviour, for the hostile-input
property tests: the argument-unpacking rules of the three functions with
named parameters, and reference versions of the bodies and slots that those
tests drive (member search and creation, the checksum conversion, the
metaclass's iteration and subscription, member repr and str). Each performs
the same Python-level operations, in the same order, as the module's code,
so that hostile objects meet the same calls and raise the same errors."""
import collections
import operator
import pickle
import sys
import warnings

import interpreter_facts as facts

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

    def count_error(self, found):
        if found < self.minimum:
            expected, word = self.minimum, "at least"
        else:
            expected, word = self.maximum, "at most"
        if self.minimum == self.maximum:
            word = "exactly"
        plural = "" if expected == 1 else "s"
        return TypeError(
            f"{self.function[:200]}() takes {word} {expected} positional argument{plural} ({found} given)"
        )


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
            raise sig.count_error(i)
    if left > 0:
        model_keywords(sig, kwargs, values, n)
    return values


# ---------------------------------------------------------------------------
# Reference bodies.


def type_name(t):
    """The type's tp_name, as the module's and the interpreter's messages show it."""
    heap = t.__flags__ & (1 << 9)
    return t.__name__ if heap or t.__module__ == "builtins" else f"{t.__module__}.{t.__name__}"


def metaclass_iter(cls):
    """iter(cls) of a class built with the metaclass: the registry's values();
    without the GIL, a copy of them when the registry is an OrderedDict."""
    members = cls.__members__
    if FREE_THREADED and type(members) is collections.OrderedDict:
        return iter(list(members.values()))
    return iter(members.values())


def metaclass_getitem(cls, key):
    return subscript(cls.__members__, key)


# Registries with sequence indexing but no mapping subscript.
SEQUENCE_ONLY = (collections.deque,)
SSIZE = 2**63


def subscript(obj, key):
    """obj[key] through the mapping subscript of obj's type when it has one,
    else through its sequence item slot with the key as an index."""
    t = type(obj)
    if t in SEQUENCE_ONLY:
        return index_subscript(obj, key)
    if hasattr(t, "__getitem__"):
        return obj[key]
    raise TypeError(f"'{type_name(t)}' object is not subscriptable")


def index_subscript(seq, key):
    i = key if type(key) is int else operator.index(key)
    if not -SSIZE <= i < SSIZE:
        raise IndexError(f"cannot fit '{type_name(type(key))}' into an index-sized integer")
    if i < 0:
        i += len(seq)
    if not 0 <= i < len(seq):
        raise IndexError(f"{type(seq).__name__} index out of range")
    return seq[i]


def new_body(meta, cls, value, name):
    """__new__ of the fallback base: the first registry value equal to value,
    else a new member named name."""
    if type(cls) in (list, tuple):
        candidates = []
        i = 0
        while i < len(cls):
            candidates.append(cls[i])
            i += 1
        candidates = iter(candidates)
    elif isinstance(cls, meta) and type(cls).__iter__ is meta.__iter__:
        candidates = metaclass_iter(cls)
    else:
        candidates = iter(cls)
    for v in candidates:
        if v == value:
            return v
    if name is None:
        raise ValueError("Unknown enum value: '%s'" % value)
    res = int.__new__(cls, value)
    res.name = name
    setattr(cls, name, res)
    cls.__members__[name] = res
    return res


def member_repr(self):
    return "<%s.%s: %d>" % (self.__class__.__name__, self.name, self)


def member_str(self):
    return "%s.%s" % (self.__class__.__name__, self.name)


def to_int32(x):
    """The checksum conversion: an int (subclasses read as int), else __int__."""
    if issubclass(type(x), int):
        v = int.__int__(x)
        if not -(2**63) <= v < 2**63:
            raise OverflowError("Python int too large to convert to C long")
        if not -(2**31) <= v < 2**31:
            raise OverflowError("Python int too large to convert to C int")
        return v
    nb_int = getattr(type(x), "__int__", None)
    if nb_int is None:
        raise TypeError("an integer is required")
    res = nb_int(x)
    if type(res) is not int:
        if not issubclass(type(res), int):
            raise TypeError(f"__int__ returned non-int (type {type_name(type(res))})")
        warnings.warn(
            f"__int__ returned non-int (type {type_name(type(res))}).  The ability to return an instance "
            "of a strict subclass of int is deprecated, and may be removed in a future version of Python.",
            DeprecationWarning,
        )
    return to_int32(res)


def unpickle_body(meta, type_, checksum, state):
    """__qx_unpickle___Qx_EnumMeta once its arguments are parsed."""
    checksum = to_int32(checksum)
    if checksum != CHECKSUM:
        raise pickle.PickleError("Incompatible checksums (%s vs 0xd41d8cd = ())" % checksum)
    result = meta.__new__(type_)
    if state is not None:
        if type(state) is not tuple:
            raise TypeError(f"Expected tuple, got {type_name(type(state))}")
        if state and hasattr(result, "__dict__"):
            result.__dict__.update(state[0])
    return result
