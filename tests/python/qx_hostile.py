"""Support for the hostile-input property tests: the hypothesis settings
(fixed seed, bounded examples), the per-property example counter that the
terminal summary prints, direct calls with an exact keyword dictionary, and
outcome capture for comparing the module with a pure-Python reference."""
import collections
import ctypes
import os
import warnings

from hypothesis import HealthCheck, settings

# Bounded for CI; raise it locally with QX_HYPOTHESIS_EXAMPLES.
MAX_EXAMPLES = int(os.environ.get("QX_HYPOTHESIS_EXAMPLES", "150"))

# derandomize: the seed is derived from each test, so every run draws the
# same examples. No deadline (no timed tests) and no example database (runs
# do not depend on, or write, earlier state). The fixtures are
# session-wide objects behind function-scoped names, so reusing them across
# examples is sound.
PROFILE = settings(
    max_examples=MAX_EXAMPLES,
    derandomize=True,
    deadline=None,
    database=None,
    print_blob=False,
    suppress_health_check=[
        HealthCheck.function_scoped_fixture,
        HealthCheck.too_slow,
        HealthCheck.filter_too_much,
        HealthCheck.data_too_large,
    ],
)

# property name -> examples run; printed by conftest.pytest_terminal_summary.
EXAMPLES = collections.Counter()


def count(name):
    EXAMPLES[name] += 1


# A function pointer of our own: ctypes.pythonapi.PyObject_Call is shared, and
# other tests give it other argument types.
_PyObject_Call = ctypes.pythonapi["PyObject_Call"]
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]


def call(func, args, kwargs):
    """func(*args) with kwargs as the very keyword dictionary the callee sees
    (None: no dictionary at all), which the interpreter's own call syntax
    would copy or refuse (non-str keys)."""
    args = tuple(args)
    if kwargs is None:
        return _PyObject_Call(func, args, None)
    return _PyObject_Call(func, args, id(kwargs))


def outcome(thunk, describe=repr):
    """('ok', describe(result)) or ('error', type, message), plus the
    warnings issued, as a comparable value."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", describe(thunk()))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            result = ("error", type(exc), message(exc))
    return result + (tuple((w.category, str(w.message)) for w in caught),)


def message(exc):
    """str(exc), which may itself fail (a KeyError shows its key's repr)."""
    try:
        return str(exc)
    except Exception as failure:  # noqa: BLE001
        return ("str() failed", type(failure), [type(a).__name__ for a in exc.args])


class Boom(Exception):
    """The exception hostile objects raise."""
