"""Reference-leak check: every operation of every built module, in a loop.

    python tests/safety/leakcheck.py [module ...] [--loops N]

Each case of the modules' ``leak_cases`` tables is first run once to check
that it behaves as the table says (returns, or raises the named exception),
then run in rounds of N calls. On a debug interpreter the total reference
count (sys.gettotalrefcount) and the C heap in use (mallinfo2, where the
modules' own native allocations live) are measured around each round;
elsewhere the number of gc-tracked objects and the memory traced by
tracemalloc. A case leaks when every measured round grows (the heap by at
least 16 bytes a call).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import sys
import time
import tracemalloc

import harness

DEBUG = hasattr(sys, "gettotalrefcount")
WARMUP_ROUNDS = 2
ROUNDS = 3


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _native_heap():
    """Bytes in use in the C heap (native allocations of the modules; small
    Python objects live in the interpreter's own arenas instead)."""
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


NATIVE_HEAP = _native_heap()


def measure() -> tuple[int, int]:
    gc.collect()
    gc.collect()
    if DEBUG:
        return sys.gettotalrefcount(), NATIVE_HEAP() if NATIVE_HEAP else 0
    return len(gc.get_objects()), tracemalloc.get_traced_memory()[0]


def leaking(deltas: list[tuple[int, int]], loops: int) -> str:
    counts = [d[0] for d in deltas]
    sizes = [d[1] for d in deltas]
    # References and objects are exact: growth in every round is a leak.
    if all(c >= 1 for c in counts):
        return f"{'references' if DEBUG else 'gc objects'} grew by {counts}"
    # Heap sizes move with caches and free lists: a leak grows by at least
    # a small allocation per call in every round.
    if all(b >= 16 * loops for b in sizes):
        return f"{'native heap' if DEBUG else 'traced memory'} grew by {sizes} bytes"
    return ""


def call(c: harness.Case) -> None:
    try:
        c.fn()
    except BaseException as e:
        if c.raises is harness.ANY and isinstance(e, Exception):
            return
        if c.raises is None or c.raises is harness.ANY or not isinstance(e, c.raises):
            raise
    else:
        if c.raises is not None and c.raises is not harness.ANY:
            raise AssertionError(f"did not raise {c.raises}")


def check_case(c: harness.Case, loops: int) -> str:
    """'' when fine, else the problem."""
    try:
        call(c)
    except BaseException as e:  # noqa: BLE001 - reported, not swallowed
        return f"behaves unlike its table entry: {type(e).__name__}: {e}"
    deltas = []
    for r in range(WARMUP_ROUNDS + ROUNDS):
        before = measure()
        for _ in range(loops):
            call(c)
        after = measure()
        if r >= WARMUP_ROUNDS:
            deltas.append((after[0] - before[0], after[1] - before[1]))
    return leaking(deltas, loops)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("modules", nargs="*", help="module names (default: all built)")
    ap.add_argument("--loops", type=int, default=20, help="calls per round (default 20)")
    args = ap.parse_args()

    if not DEBUG:
        tracemalloc.start()
    print(f"leak check on {sys.executable} {sys.version.split()[0]}: "
          + ("sys.gettotalrefcount and the native heap" if DEBUG else
             "tracemalloc and gc object counts (no debug interpreter)"))
    # Logging goes nowhere, so that warnings of the tested code stay quiet.
    harness.silence_side_channels()
    start = time.monotonic()
    total = problems = 0
    for t in harness.tables(args.modules):
        cases = t.leak_cases(t.module)
        bad = []
        for c in cases:
            total += 1
            problem = check_case(c, args.loops)
            if problem:
                bad.append((c.name, problem))
        problems += len(bad)
        print(f"  {t.name}: {len(cases)} operations, {len(bad)} problems")
        for name, problem in bad:
            print(f"    LEAK? {t.name}: {name}: {problem}")
    print(f"leak check: {total} operations, {problems} problems, "
          f"{time.monotonic() - start:.0f}s")
    return 1 if problems or not total else 0


if __name__ == "__main__":
    sys.exit(main())
