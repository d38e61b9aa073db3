# The enumerations are compiled: where this package is found without its
# extension (the source tree on sys.path, a build tree configured but not
# built), say how to get one instead of a bare "No module named". The finders
# are asked directly: importlib.util would add its own import to every start.
import sys as _sys


def _extension_found(name: str) -> bool:
    for finder in _sys.meta_path:
        find_spec = getattr(finder, "find_spec", None)
        if find_spec is not None and find_spec(name, __path__) is not None:
            return True
    return False


if not _extension_found(__name__ + ".weekdays"):
    raise ImportError(
        f"{__name__}.weekdays is not built next to {__path__[0]}: install the package "
        "with 'python -m pip install .' from the project root, or build it with "
        "'bash scripts/build.sh' and put build/python on PYTHONPATH",
        name=__name__ + ".weekdays",
    )
del _sys, _extension_found
