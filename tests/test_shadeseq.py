"""ShadeSeq: a list of weak references that reads and writes plain objects."""

from __future__ import annotations

import collections
import gc
import weakref

import pytest

import korvo.datastructures.shadeseq as shadeseq_module
from korvo.datastructures.shadeseq import ShadeSeq


class Obj:
    def __init__(self, n=0):
        self.n = n

    __repr__ = lambda self: f"O{self.n}"
    __str__ = lambda self: f"s{self.n}"
    __lt__ = lambda self, other: self.n < other.n


class Sub(ShadeSeq):
    pass


def test_reads_return_items():
    a, b, c = Obj(0), Obj(1), Obj(2)
    s = Sub([a, b, c])
    assert [s[0], s[-1], list(s)] == [a, c, [a, b, c]] and ShadeSeq.__hash__ is None
    assert (repr(s), str(s)) == ("ShadeSeq([O0, O1, O2])", "ShadeSeq([s0, s1, s2])")
    assert iter(s).__qualname__ == "ShadeSeq.__iter__"
    assert s == [a, b, c] and s == ShadeSeq([a, b, c]) and s != (a, b, c)
    part, back = s[1:3], reversed(s)
    assert type(part) is type(back) is Sub and list(back) == [c, b, a]
    assert not set(map(id, part.data)) & set(map(id, s.data))  # own references
    part.remove(b)
    assert list(s) == [a, b, c] and list(part) == [c]


def test_finalised_items_leave_through_remove():
    seen = []

    class Spy(ShadeSeq):
        def remove(self, item):
            seen.append(item)
            super().remove(item)

    a, b = Obj(), Obj()
    s = Spy([a, b, a])
    refs = [s.data[0], s.data[2]]
    del a
    assert list(s) == [b] and sorted(map(id, seen)) == sorted(map(id, refs))
    probe = weakref.ref(s)
    del s
    assert probe() is not None  # held by its references' callbacks
    gc.collect()
    assert probe() is None


def test_repetition_and_copies_track_their_items():
    a, b = Obj(), Obj()
    s = ShadeSeq([a, b])
    derived = [s * 2, [b] + s, s.copy()]
    assert [len(d) for d in derived] == [4, 3, 2]
    s *= 2
    del a
    for seq in [s] + derived:
        assert None not in list(seq) and set(seq) == {b}


def test_writes_store_references():
    a, b, c, d = Obj(0), Obj(1), Obj(2), Obj(3)
    s = ShadeSeq([a, b])
    s.insert(-1, c)
    s[1:2] = [d, d]
    s[0] = b
    assert list(s) == [b, d, d, b] and all(type(r) is weakref.ref for r in s.data)
    same = s
    s.extend(s)
    s += (a,)
    assert s is same and len(s) == 9 and s[-1] is a
    t = Sub([a])
    assert type(t + t) is ShadeSeq and list(t + t) == [a, a]
    with pytest.raises(TypeError, match='^can only concatenante ShadeSeq [(]not "list"[)] to S'):
        t + [a]


@pytest.mark.parametrize("write, error", [
    ("ShadeSeq.__init__(s, [a, 3])", TypeError), ("s.append('x')", TypeError),
    ("s.insert(0, None)", TypeError), ("s.extend([a, 3])", TypeError),
    ("s += [a, ()]", TypeError), ("s[0] = 3", TypeError), ("s[0:1] = [a, {}]", TypeError),
    ("s.extend(None)", TypeError), ("s.pop('0')", TypeError), ("s.pop(2)", IndexError),
    ("s.pop(-3)", IndexError), ("s.pop(2**80)", IndexError), ("s[::2] = [a, a]", ValueError),
    ("3 in s", TypeError), ("s.count(None)", TypeError), ("s.remove(())", TypeError),
])
def test_failed_call_changes_nothing(write, error):
    a, b = Obj(), Obj()
    s = ShadeSeq([a, b])
    before = list(s.data)
    with pytest.raises(error):
        exec(write)
    assert s.data == before
    assert s.pop(-1) is b and s.pop(False) is a  # pop takes a position


def test_sort_reorders_references_through_super(monkeypatch):
    class Spy(collections.UserList):
        def sort(self, *args, **kwargs):
            keys.append(kwargs["key"].__qualname__)
            super().sort(*args, **kwargs)

    keys, items, made = [], [Obj(n) for n in (2, 1, 2, 3)], []
    monkeypatch.setattr(shadeseq_module, "weakref", type("W", (), {
        "ref": staticmethod(lambda *a: made.append(len(a)) or weakref.ref(*a))}))
    s = type("T", (ShadeSeq, Spy), {})(items)
    assert made == [2] * 4  # the module global, looked up per item
    s.sort(None, True)
    assert [o.n for o in s] == [3, 2, 2, 1] and s[1] is items[0]
    s.sort(key=lambda o: -o.n, reverse=True)
    assert [o.n for o in s] == [1, 2, 2, 3] and s[1] is items[0]
    assert keys == ["ShadeSeq.sort.<locals>.<lambda>"] * 2
    monkeypatch.undo()
    del items[3]
    assert len(s) == 3


def test_reads_call_references_and_pop_keeps_positions_from_the_end(monkeypatch):
    calls = []

    class CountingRef(weakref.ref):
        def __call__(self):
            calls.append(self)
            return super().__call__()

    class Shrinking(collections.UserList):
        def pop(self, i):
            del items[0]  # an entry leaves before the list pops
            return super().pop(i)

    monkeypatch.setattr(shadeseq_module, "weakref", type("W", (), {
        "ref": CountingRef, "ReferenceType": weakref.ReferenceType}))
    items = [Obj(n) for n in range(4)]
    s = type("T", (ShadeSeq, Shrinking), {})(items)
    for read, count in [(lambda: s[1:3], 2), (lambda: reversed(s), 4), (lambda: s.pop(-1), 1)]:
        calls.clear()
        read()
        assert len(calls) == count
    assert [o.n for o in s] == [1, 2]
