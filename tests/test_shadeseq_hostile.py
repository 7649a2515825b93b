"""ShadeSeq while weak-reference callbacks fire in the middle of its work, run in a
child interpreter; "Exception ignored" output (a lost callback) fails as a crash does."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, sys, threading
from korvo.datastructures.shadeseq import ShadeSeq
class Obj:
    def __init__(self, n=0): self.n = n
def check(s):
    assert None not in list(s) and len(s) == len(set(map(id, s.data)))
"""

SCENARIOS = {
    "iteration_sort_slices_temporaries": """
        s = ShadeSeq(Obj() for _ in range(3)); s.extend(Obj() for _ in range(3))
        s += (Obj() for _ in range(3)); s[0:0] = (Obj() for _ in range(3)); s.append(Obj())
        assert len(s.data) == 0
        keep = [Obj(n) for n in range(20)]; s = ShadeSeq(keep)
        for x in s:
            assert x is not None; del keep[-2:]
        check(s); keep = [Obj(n) for n in range(20)]; s = ShadeSeq(keep)
        s.sort(key=lambda o: (keep.pop() if keep else None, -o.n)[1])
        assert len(s.data) == 0
        class Dropping(ShadeSeq):
            def __init__(self, items=()):
                keep.clear(); gc.collect(); super().__init__(items)
        keep = [Obj(n) for n in range(5)]; s = Dropping(keep); keep = list(s)
        assert len(s[1:]) == len(reversed(s)) == len(s) == 0
        class Shedding(ShadeSeq):
            def __iter__(self):
                for x in super().__iter__():
                    del keep[:1]; yield x
        keep = [Obj(n) for n in range(6)]; s = Shedding(keep); s.extend(s); check(s)
    """,
    "eq_changes_the_sequence": """
        class Evil(Obj):
            def __eq__(self, other):
                keep and keep.pop(0); s.append(Obj()); s.insert(0, self)
                if len(s) > 4: del s[1]
                return False
        for op in ("__contains__", "index", "count", "remove"):
            keep = [Evil(n) for n in range(8)]; s = ShadeSeq(keep)
            try:
                getattr(s, op)(Obj())
            except ValueError:
                pass
            check(s)
    """,
    "sequence_dies_with_items": """
        holder = []
        class Sub(ShadeSeq):
            def remove(self, item):
                holder.clear(); gc.collect(); super().remove(item)
        for _ in range(50):
            s = Sub(); holder.append(s); items = [Obj() for _ in range(5)]
            for o in items: o.seq = s; s.append(o)
            del s; items.pop(); items.clear(); gc.collect()
        s = ShadeSeq(); s.append(s); t = ShadeSeq([s]); s.append(t)
        for op in (repr, str, lambda s: s == t):
            try:
                op(s)
            except RecursionError:
                pass
    """,
    "threads": """
        sys.setswitchinterval(1e-6); s = ShadeSeq(); stop = False
        def churn():
            for _ in range(3000):
                keep = [Obj() for _ in range(3)]
                s.extend(keep); s.append(keep[0]); s.insert(0, keep[1]); s.pop(0)
        def read():
            while not stop:  # a finalised item reads None until its callbacks have run
                list(s); s.sort(key=id); repr(s)
                try:
                    s[::2]; reversed(s)
                except TypeError:
                    pass
        threads = [threading.Thread(target=f) for f in [read] * 2 + [churn] * 6]
        for t in threads: t.start()
        for t in threads[2:]: t.join()
        stop = True
        for t in threads[:2]: t.join()
        gc.collect()
        assert len(s.data) == 0, s.data
    """,
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_hostile(name):
    code = PRELUDE + textwrap.dedent(SCENARIOS[name]) + "\nprint('ok')\n"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "ok", "")
