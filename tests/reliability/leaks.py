"""Reference-leak run: every operation of qx_ops, in rounds, under the debug
interpreter (python3.11-dbg).

Each operation runs WARMUP rounds (which absorb what grows once: interned
names, the traceback code-object cache, lazily made attributes, free lists),
then COUNTED rounds after each of which sys.gettotalrefcount() and
sys.getallocatedblocks() must be back at the value they had after the
previous round. Between rounds: the type attribute cache is cleared and the
garbage collector runs, so only references that nothing can reach remain.

The import runs first, while the module is not yet imported: each round
fails the initialisation at one step, and the next round initialises again
from what the failed attempt left (a failed import leaves the module
uninitialised, so it can be retried). Every later operation then runs with
qx_runtime.impl_line_in_traceback false and again with it true.

Usage: leaks.py [counted rounds]; prints a summary line, then the figures;
exits 1 on a leak.
"""
import gc
import os
import subprocess
import sys
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import qx_ops  # noqa: E402
from qx_ops import facts  # noqa: E402

WARMUP = 3
COUNTED = int(sys.argv[1]) if len(sys.argv) > 1 else 3

# Seeded with the values a clean round gives, so that the first measured
# operation does not pay for filling the pool.
_pool = {v: v for v in range(-8, 9)}


def _pooled(value):
    # One int object per value: once the deltas repeat, recording them
    # allocates nothing.
    return _pool.setdefault(value, value)


def _settle():
    facts.clear_type_cache()
    gc.collect()
    gc.collect()


def measure(op):
    """Returns None, or a description of what went wrong."""
    # Allocated up front, and written only with pooled ints, so that the
    # bookkeeping itself holds the same objects after every round.
    ref_deltas = [0] * COUNTED
    block_deltas = [0] * COUNTED
    refs_before = blocks_before = 0
    for i in range(WARMUP + COUNTED):
        call = op.prepare()
        result, exc = qx_ops.perform(call)
        problem = qx_ops.finish(call, result, exc, op)
        del call, result, exc
        if problem is not None:
            return problem
        _settle()
        blocks = sys.getallocatedblocks()
        refs = sys.gettotalrefcount()
        if i >= WARMUP:
            ref_deltas[i - WARMUP] = _pooled(refs - refs_before)
            block_deltas[i - WARMUP] = _pooled(blocks - blocks_before)
        refs_before, blocks_before = refs, blocks
    if any(ref_deltas) or any(block_deltas):
        return f"leaks per round: references {ref_deltas}, memory blocks {block_deltas}"
    return None


def prime(ops, times):
    """Runs every operation before any is measured: what one operation makes
    once and keeps (an interned name, a cached code object, the import
    system's caches) is then not counted against whichever operation happens
    to use it first."""
    for op in ops * times:
        call = op.prepare()
        result, exc = qx_ops.perform(call)
        qx_ops.finish(call, result, exc, op)
        del call, result, exc
        _settle()


def fresh_import_problems():
    """In a fresh interpreter: after a successful import nothing but the
    module's own state holds what the import made, so the fallback class and
    its three function objects, dropped by the module once IntEnum replaced
    the class, are freed."""
    source = textwrap.dedent("""
        import gc, sys, weakref
        gc.disable()
        import quendrix.core.enums.weekdays
        base = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"][0]
        watched = [weakref.ref(base)] + [weakref.ref(base.__dict__[k])
                                         for k in ("__new__", "__repr__", "__str__")]
        del base
        gc.enable()
        gc.collect()
        alive = [r() for r in watched if r() is not None]
        print(len(alive))
    """)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=300)
    if proc.returncode != 0:
        return [f"fresh import failed: {proc.stderr.strip()}"]
    if proc.stdout.strip() != "0":
        return [f"fresh import: {proc.stdout.strip()} of the fallback class and its functions "
                "are never freed"]
    return []


def main():
    failures = fresh_import_problems()
    measured = 0

    import_ops = qx_ops.import_failure_ops()
    prime(import_ops, 1)
    for op in import_ops:
        problem = measure(op)
        measured += 1
        if problem is not None:
            failures.append(f"{op.name}: {problem}")

    qx_ops.load()
    ops = qx_ops.ops()
    for shown in (False, True):
        qx_ops.set_switch(shown)
        prime(ops, 1)
        for op in ops:
            problem = measure(op)
            measured += 1
            if problem is not None:
                failures.append(f"{op.name} (impl_line_in_traceback={shown}): {problem}")
    qx_ops.sanity()

    rounds = WARMUP + COUNTED
    print(f"leak run: {measured} operations x {rounds} rounds, fresh-interpreter import "
          f"checked; {len(failures)} leaking")
    print(f"  interpreter: {sys.executable}")
    print(f"  {len(import_ops)} import operations + {len(ops)} operations x 2 switch settings = "
          f"{measured} operations x {rounds} rounds ({WARMUP} warm-up + {COUNTED} counted) = "
          f"{measured * rounds} rounds")
    for line in failures:
        print("  LEAK", line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
