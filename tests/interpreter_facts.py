"""What differs between the interpreters the project supports, as named facts
about the running one. Tests and scripts ask here; none of them compares
version numbers itself. A new version adds a line here only where it behaves
differently from the newest one before it.

From Python: sys.path gets this directory, then `import interpreter_facts as
facts` and `facts.FREE_THREADED`. From a shell: `python interpreter_facts.py
NAME` prints one fact (True/False, or a text), `python interpreter_facts.py`
prints them all. The C++ tests read them through qxtest::Fact().
"""
import sys
import sysconfig

_VERSION = sys.version_info[:2]

# --- The interpreter's identity.

# Built with --disable-gil.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# A debug build (Py_DEBUG): sys.gettotalrefcount() and the reference-count
# assertions exist.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Its line in python-versions.txt ("3.13", "3.13t").
VERSION_LINE = "%d.%d" % _VERSION + ("t" if FREE_THREADED else "")
# The name of its tools venv and the like ("3.14", "3.14d", "3.13t").
TAG = "%d.%d" % _VERSION + ("d" if DEBUG_BUILD else "") + ("t" if FREE_THREADED else "")
# The wheel tags of a module built for it ("cp313", "cp313t").
WHEEL_PYTHON_TAG = "cp%d%d" % _VERSION
WHEEL_ABI_TAG = sys.implementation.cache_tag.replace("cpython-", "cp") + ("t" if FREE_THREADED else "")

# --- Sub-interpreters and single-phase modules.

# Isolated sub-interpreters (own GIL, own import state) exist; they refuse
# single-phase modules such as this one.
HAS_ISOLATED_SUBINTERPRETERS = _VERSION >= (3, 12)
# The import system runs a single-phase module's entry in the main
# interpreter, whichever interpreter imports it, and registers the module
# there too.
RUNS_SINGLE_PHASE_ENTRY_IN_MAIN = _VERSION >= (3, 13)
# Every sub-interpreter, legacy ones included, refuses single-phase modules.
REFUSES_SINGLE_PHASE_IN_ALL_SUBINTERPRETERS = FREE_THREADED

# --- Types and classes.

# A static type whose readying failed is not readied again: the module
# refuses later imports (3.13 may crash if asked; 3.14 and 3.15, where no
# crash was seen, are kept with it: runtime/compat.h kTypeReadyRetryable).
READIES_STATIC_TYPE_ONCE = _VERSION >= (3, 13)
# type.__setattr__ reports a failed store into a class's dictionary (a
# MemoryError) as AttributeError "type object 'K' has no attribute ...".
TYPE_SETATTR_MASKS_STORE_FAILURE = _VERSION >= (3, 13)
# A class statement survives a failed allocation. Where not (3.12, 3.13),
# one whose 2nd allocation failed leaves the next class statement on a
# corrupt frame (TypeError "type __qualname__ must be a str, not tuple", or a
# crash): the interpreter's own fault, left out of sweeps.
CLASS_STATEMENT_SURVIVES_FAILED_ALLOCATION = not (3, 12) <= _VERSION < (3, 14)
# Making a function survives a failed allocation. Where not (3.13 with the
# GIL), MAKE_FUNCTION releases the nested function's code object a second
# time, and a later call of a function made from that code runs freed
# memory (a crash). Importlib makes such a function (its lock's weak
# reference callback) for every module lock it makes anew, which the
# module's entry asks for: sweeps keep that lock made beforehand.
MAKE_FUNCTION_SURVIVES_FAILED_ALLOCATION = FREE_THREADED or _VERSION != (3, 13)
# A code object's file name is interned.
INTERNS_CODE_FILE_NAMES = _VERSION >= (3, 13)
# A type's __new__ as Python sees it (int.__new__) is a METH_FASTCALL
# builtin, so the module calls it through the builtins' fast path, not with an
# argument tuple.
TYPE_NEW_WRAPPER_IS_FASTCALL = _VERSION >= (3, 15)

# --- Functions.

# Annotations are deferred (__annotate__): annotationlib and inspect's annotation_format exist.
DEFERS_ANNOTATIONS = _VERSION >= (3, 14)

# --- The garbage collector.

# A weak reference without callback to garbage is cleared only after the
# finalizers ran, and not at all when a finalizer resurrected its referent
# (those with a callback are still cleared, callbacks run, before).
KEEPS_PLAIN_WEAKREFS_TO_RESURRECTED_GARBAGE = _VERSION >= (3, 15)

# --- The GIL.


def gil_enabled():
    """Whether the GIL is on now (always, where the build has one)."""
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return True if is_enabled is None else bool(is_enabled())


# --- Caches.


def clear_type_cache():
    """Empties the interpreter's type attribute cache, through the call that
    does not warn where there is one (the older name is deprecated)."""
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear()


# --- Tools.

# mypy (and its compiled dependency librt) publishes wheels for it; the
# type-checking tests skip where it does not.
MYPY_HAS_WHEELS = not FREE_THREADED


def _public():
    return {name: value for name, value in globals().items() if name.isupper() and not name.startswith("_")}


if __name__ == "__main__":
    facts = _public()
    if len(sys.argv) == 1:
        for name, value in facts.items():
            print(f"{name}={value}")
    elif len(sys.argv) == 2 and sys.argv[1] in facts:
        print(facts[sys.argv[1]])
    else:
        sys.exit(f"usage: {sys.argv[0]} [{'|'.join(facts)}]")
