"""The source of a fresh interpreter in which functions of a failed import are
called from several threads while another retries the import over and over:
each retry makes the module, its dictionary, builtins and qx_runtime anew
while the calls' traceback entries read them. It prints a line of figures
and exits 0, or fails an assertion. Run by threads.py, under the debug
interpreter, the free-threaded one and its ThreadSanitizer build.

source(seconds): the script, running the threads for that long.
"""

NAME = "quendrix.core.enums.weekdays"

_SOURCE = """
import collections, enum, gc, pickle, sys, threading, time
SECONDS, CALLERS = {seconds}, 3

def init_entry(exc):
    tb, found = exc.__traceback__, None
    while tb is not None:
        if tb.tb_frame.f_code.co_name.startswith("init "):
            found = tb
        tb = tb.tb_next
    return found

# The relative attempts fail at once, without a search of the file system
# (that search holds the import system's lock, and starves the retries).
for m in ("collections", "enum", "pickle"):
    sys.modules["{name}".rpartition(".")[0] + "." + m] = None
saved, enum.IntEnum = enum.IntEnum, None
gc.disable()
try:
    import {name}
except TypeError as exc:
    unpickle = init_entry(exc).tb_frame.f_globals["__qx_unpickle___Qx_EnumMeta"]
else:
    raise AssertionError("the import should have failed")
Base = next(c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase")
gc.enable()

# Each call fails, always the same way: the error and the one entry the
# module adds, by name.
CALLS = [
    (lambda: unpickle(int, 1, None), pickle.PickleError, "__qx_unpickle___Qx_EnumMeta"),
    (lambda: Base.__repr__(5), AttributeError, "__Qx_EnumBase.__repr__"),
    (lambda: Base.__new__(Base), TypeError, "__Qx_EnumBase.__new__"),
]

def outcome(call, error, entry):
    try:
        call()
    except error as exc:
        tb, names = exc.__traceback__, []
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_filename == "enumsupport":
                names.append(code.co_name.split(" (")[0])
                tb.tb_frame.f_globals.get("__name__")  # the dictionary the entry reads
            tb = tb.tb_next
        return type(exc).__name__, str(exc), names
    return "no error", "", []

expected = [outcome(*c) for c in CALLS]
for (_, _, entry), (_, _, names) in zip(CALLS, expected):
    assert len(names) == 1 and names[0].endswith(entry), (entry, names)
stop = threading.Event()
problems, counts, retries = [], [], []

def caller():
    n = 0
    while not stop.is_set():
        for c, want in zip(CALLS, expected):
            got = outcome(*c)
            if got != want and len(problems) < 10:
                problems.append((got, want))
            n += 1
    counts.append(n)

def retrier():
    # Without OrderedDict each retry fails at once, right after the
    # module's objects were made anew: many replacements a second.
    ordered_dict = collections.OrderedDict
    del collections.OrderedDict
    while not stop.is_set():
        sys.modules.pop("qx_runtime", None)
        try:
            import {name}
        except ImportError:
            retries.append(1)
        else:
            problems.append("a retry succeeded without OrderedDict")
    collections.OrderedDict = ordered_dict

threads = [threading.Thread(target=caller, daemon=True) for _ in range(CALLERS)]
threads.append(threading.Thread(target=retrier, daemon=True))
sys.setswitchinterval(1e-5)
for t in threads:
    t.start()
time.sleep(SECONDS)
stop.set()
deadline = time.monotonic() + 20
for t in threads:
    t.join(max(0, deadline - time.monotonic()))
assert not any(t.is_alive() for t in threads), "a thread is stuck"
assert not problems, problems
assert retries and sum(counts), (len(retries), counts)
enum.IntEnum = saved
import {name} as w
assert w.Weekdays(1) is w.Sunday
assert [outcome(*c) for c in CALLS] == expected
print(len(retries), "retries,", sum(counts), "failing calls")
"""


def source(seconds):
    return _SOURCE.format(name=NAME, seconds=seconds)
