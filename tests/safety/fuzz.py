"""Bounded crash fuzzing of every built module, one subprocess per module.

    python tests/safety/fuzz.py [module ...] [--seconds N] [--seed S] [--jobs J]

Each child first runs its table's huge inputs once, then hypothesis draws
random sequences of the table's FUZZ_OPS on a pool of objects, with hostile
values (raising or mutating __eq__, __hash__, __str__, __index__, __len__,
__iter__ and callables, weakly held objects dying mid-operation, nesting far
beyond the recursion limit), until N seconds are spent. Any Python exception
is an acceptable outcome except SystemError (a native function broke the
C-API contract). The run fails on a crash, a sanitizer report, a hang,
a SystemError, or objects of the package still alive after the campaign
(leaked references). A watchdog ends an example that runs longer than a
minute and prints where it was stuck. On a crash the operations of the last example are
printed from the child's log; rerunning with the same --seed replays the
same campaign.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import pathlib
import random
import subprocess
import sys
import time
import warnings

import harness

HERE = pathlib.Path(__file__).resolve().parent
MAX_STEPS = 10
EXAMPLE_TIMEOUT = 60  # seconds; examples normally take well under one
HUGE_TIMEOUT = 300


class OpLog:
    """The current example's operations, on disk so that a crash leaves them."""

    def __init__(self, path: pathlib.Path):
        self.f = open(path, "w", buffering=1, encoding="utf-8")

    def reset(self, header: str) -> None:
        self.f.seek(0)
        self.f.truncate()
        self.write(header)

    def write(self, line: str) -> None:
        self.f.write(line[:2000] + "\n")


def run_op(w: harness.World, op) -> None:
    harness.Hostile.armed = True
    try:
        op(w)
    except SystemError:
        raise
    except Exception:
        pass
    finally:
        harness.Hostile.armed = False


def sanity(w: harness.World) -> None:
    """Every object of the pool still reads back without misbehaving."""
    for obj in list(w.pool):
        for read in (repr, len, bool):
            try:
                read(obj)
            except SystemError:
                raise
            except Exception:
                pass


def child(args) -> int:
    from hypothesis import HealthCheck, Phase, given, seed, settings
    from hypothesis import strategies as st
    from hypothesis.errors import FlakyStrategyDefinition

    faulthandler.enable()
    warnings.simplefilter("ignore")  # e.g. escapes in fuzzed logic_str texts
    harness.silence_side_channels()
    harness.init_strategies()
    (table,) = harness.tables([args.child], verbose=False)
    log = OpLog(pathlib.Path(args.log))
    before: list = []
    baseline = harness.korvo_objects(before)
    baseline_ids = {id(o) for o in before}
    del before

    huge = table.huge_cases(table.module) if "huge_cases" in table.ns else []
    while huge:
        c = huge.pop(0)  # dropped when done: the inputs are large
        log.reset(f"huge input: {c.name}")
        faulthandler.dump_traceback_later(HUGE_TIMEOUT, exit=True)
        t0 = time.monotonic()
        try:
            c.fn()
        except Exception as e:
            if c.raises is None or (c.raises is not harness.ANY and not isinstance(e, c.raises)):
                print(f"{table.name}: huge input {c.name}: {type(e).__name__}: {e}")
                return 1
        print(f"  {table.name}: huge input {c.name}: {time.monotonic() - t0:.1f}s", flush=True)
        del c

    ops = list(table.FUZZ_OPS)
    stats = {"examples": 0, "ops": 0}
    deadline = time.monotonic() + args.seconds

    def campaign(data):
        stats["examples"] += 1
        log.reset(f"example {stats['examples']} (seed {args.seed}, batch {batch})")
        # A hang shows where it is stuck and ends the child.
        faulthandler.dump_traceback_later(EXAMPLE_TIMEOUT, exit=True)
        w = harness.World(table, data.draw, log.write)
        harness.Hostile.world = w
        try:
            for _ in range(data.draw(st.integers(1, MAX_STEPS))):
                op = data.draw(st.sampled_from(ops))
                log.write(f"  {op.__name__}")
                stats["ops"] += 1
                run_op(w, op)
                sanity(w)
        finally:
            harness.Hostile.world = None
            harness.Hostile.armed = False
            w.pool.clear()
            w.keep.clear()
            w.current = None
            harness.forget_deep()

    batch = 0
    while time.monotonic() < deadline:
        test = settings(max_examples=100, deadline=None, database=None, derandomize=False,
                        suppress_health_check=list(HealthCheck),
                        phases=[Phase.generate, Phase.shrink])(
            seed(args.seed * 1000 + batch)(given(st.data())(campaign)))
        try:
            test()
        except FlakyStrategyDefinition:
            # Objects dying at a collection can make an example draw
            # differently when hypothesis replays it; nothing crashed.
            stats["flaky"] = stats.get("flaky", 0) + 1
        batch += 1

    faulthandler.cancel_dump_traceback_later()
    log.reset("leak check after the campaign")
    alive: list = []
    leaked = {k: v - baseline.get(k, 0) for k, v in harness.korvo_objects(alive).items()
              if v > baseline.get(k, 0)}
    print(f"  {table.name}: {stats['examples']} examples, {stats['ops']} operations"
          + (f", {stats['flaky']} batches cut short by flaky replays" if "flaky" in stats else ""),
          flush=True)
    if leaked:
        print(f"{table.name}: objects still alive after the campaign (leaked references): {leaked}")
        print(harness.describe_leaks([o for o in alive if id(o) not in baseline_ids]))
        return 3
    return 0


def parent(args) -> int:
    log_dir = pathlib.Path(args.log_dir)
    log_dir.mkdir(parents=True, exist_ok=True)
    names = harness.built_modules(args.modules)
    if not names:
        print("fuzz: no module is built")
        return 1
    seed = args.seed if args.seed is not None else random.randrange(10**6)
    print(f"fuzz: {', '.join(names)}; {args.seconds}s each, seed {seed}", flush=True)
    pending = list(names)
    running: dict[str, tuple[subprocess.Popen, float, pathlib.Path, pathlib.Path]] = {}
    failures = []
    while pending or running:
        while pending and len(running) < args.jobs:
            name = pending.pop(0)
            oplog = log_dir / f"{name}.ops"
            out = log_dir / f"{name}.out"
            cmd = [sys.executable, str(HERE / "fuzz.py"), "--child", name, "--seconds",
                   str(args.seconds), "--seed", str(seed), "--log", str(oplog)]
            proc = subprocess.Popen(cmd, stdout=open(out, "w"), stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
            running[name] = (proc, time.monotonic(), oplog, out)
        time.sleep(0.2)
        for name, (proc, started, oplog, out) in list(running.items()):
            rc = proc.poll()
            hung = rc is None and time.monotonic() - started > args.seconds + args.grace
            if rc is None and not hung:
                continue
            del running[name]
            if hung:
                proc.kill()
                proc.wait()
                what = f"hang (no end after {args.seconds + args.grace}s)"
            elif rc == 0:
                what = ""
            elif rc < 0:
                what = f"crash (signal {-rc})"
            elif rc in (86, 87):
                what = "sanitizer report"
            else:
                what = f"failure (exit {rc})"
            text = out.read_text(errors="replace")
            if rc and "Timeout (" in text:
                what = "hang (the watchdog stopped it)"
            if what:
                failures.append(name)
                print(f"--- {name}: {what}; output ({out}):")
                print("\n".join(text.splitlines()[-120:]))
                print(f"--- {name}: last example's operations ({oplog}):")
                print(oplog.read_text(errors="replace")[-6000:])
                print(f"--- reproduce: {sys.executable} {HERE / 'fuzz.py'} {name} "
                      f"--seed {seed} --seconds {args.seconds}")
            else:
                print(text.rstrip())
            sys.stdout.flush()
    if failures:
        print(f"fuzz: FAILED: {', '.join(failures)} (seed {seed})")
        return 1
    print(f"fuzz: {len(names)} modules passed (seed {seed})")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("modules", nargs="*", help="module names (default: all built)")
    ap.add_argument("--seconds", type=float, default=30, help="fuzzing time per module")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--grace", type=float, default=600,
                    help="time allowed beyond --seconds (huge inputs, start-up)")
    ap.add_argument("--log-dir", default=str(HERE.parent.parent / ".safety" / "fuzz"))
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--log", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args)
    return parent(args)


if __name__ == "__main__":
    sys.exit(main())
