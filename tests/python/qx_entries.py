"""Reading the module's own traceback entries off an exception: one per
failing function, in the file "enumsupport". While
qx_runtime.impl_line_in_traceback is true an entry's name also carries the
implementation-file line of the failing statement."""
import contextlib
import re
import sys

_WITH_IMPL = re.compile(r"^(.+) \(quendrix/core/enums/weekdays(?:\.\w+)?:(\d+)\)$")
_MISSING = object()


def entries(exc):
    """(code name, source line) of each "enumsupport" entry, outermost first."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "enumsupport":
            found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


@contextlib.contextmanager
def impl_lines(shown):
    """Sets the switch for the block, then puts back what was there."""
    runtime = sys.modules["qx_runtime"]
    old = vars(runtime).get("impl_line_in_traceback", _MISSING)
    runtime.impl_line_in_traceback = shown
    try:
        yield
    finally:
        if old is _MISSING:
            del runtime.impl_line_in_traceback
        else:
            runtime.impl_line_in_traceback = old


def failure(call):
    """Runs call() with implementation lines shown; returns the exception and
    its entries as (function name, source line, implementation line)."""
    with impl_lines(True):
        try:
            call()
        except Exception as exc:  # noqa: BLE001 - any failure is the subject
            parsed = []
            for name, line in entries(exc):
                m = _WITH_IMPL.match(name)
                assert m, f"entry without implementation line: {name!r}"
                parsed.append((m[1], line, int(m[2])))
            return exc, parsed
    raise AssertionError("the call did not fail")


def count_message(function, word, expected, found):
    plural = "" if expected == 1 else "s"
    return f"{function}() takes {word} {expected} positional argument{plural} ({found} given)"
