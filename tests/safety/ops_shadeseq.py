"""shadeseq: ShadeSeq, a list of weak references."""

import copy
import gc

import harness as h
from harness import ANY, armed, case

MODULE = "korvo.datastructures.shadeseq"


class Item:
    def __init__(self, rank=0):
        self.rank = rank

    def __lt__(self, other):
        return self.rank < other.rank


def leak_cases(m):
    S = m.ShadeSeq
    a, b, c = Item(1), Item(2), Item(3)
    s = S([a, b, c])

    def dies():
        t = S()
        items = [Item(i) for i in range(5)]
        t.extend(items)
        t.append(items[0])
        del items[:3]
        return len(t)

    def dies_in_iteration():
        items = [Item(i) for i in range(4)]
        t = S(items)
        for _ in t:
            if items:
                items.pop()
        return t

    def writes():
        t = S([a, b])
        t[0] = c
        t[0:1] = [a, b]
        t.insert(-1, c)
        t.extend(t)
        t += (a,)
        t.remove(a)
        t.sort(key=lambda o: o.rank, reverse=True)
        t.sort(None, True)
        return t + S([c])

    def cycle():
        t = S()
        t.append(t)
        return t

    bad_eq = h.HKey(1, h.RAISE)
    raising = S([bad_eq])
    raising.alive = bad_eq  # the items are only weakly held
    plain = _Plain()
    return [
        case("ShadeSeq()", lambda: S()),
        case("ShadeSeq(items)", lambda: S([a, b, c])),
        case("ShadeSeq(generator)", lambda: S(x for x in (a, b))),
        case("ShadeSeq(None)", lambda: S(None), TypeError),
        case("ShadeSeq([1])", lambda: S([1]), TypeError),
        case("ShadeSeq(raising iterable)", armed(lambda: S(h.HSeq([a, b], h.RAISE, 1))),
             h.HostileError),
        case("items die", dies),
        case("items die during iteration", dies_in_iteration),
        case("holds itself", cycle),
        case("writes", writes),
        case("append int", lambda: s.append(3), TypeError),
        case("setitem slice not weak", lambda: S([a]).__setitem__(slice(0, 1), [a, 1]), TypeError),
        case("setitem out of range", lambda: S().__setitem__(3, a), IndexError),
        case("extended slice wrong count", lambda: S([a, b, c, a]).__setitem__(slice(None, None, 2),
                                                                           [a]), ValueError),
        case("extend not iterable", lambda: S().extend(5), TypeError),
        case("iadd not weak", lambda: S().__iadd__([1]), TypeError),
        case("add list", lambda: s + [a], TypeError),
        case("radd", lambda: [a] + s, ANY),
        case("mul", lambda: s * 2, ANY),
        case("pop", lambda: S([a, b]).pop(a), ANY),
        case("pop int", lambda: S([a, b]).pop(0), ANY),
        case("remove missing", lambda: s.remove(Item()), ValueError),
        case("remove not weak", lambda: s.remove(3), TypeError),
        case("contains", lambda: b in s),
        case("contains int", lambda: 3 in s, TypeError),
        case("contains raising eq", armed(lambda: Item() in raising), h.HostileError),
        case("index", lambda: s.index(c)),
        case("index missing", lambda: s.index(Item()), ValueError),
        case("count", lambda: s.count(a)),
        case("count None", lambda: s.count(None), TypeError),
        case("getitem", lambda: s[-1]),
        case("getitem out of range", lambda: s[10], IndexError),
        case("getitem bad index", lambda: s["x"], TypeError),
        case("getitem hostile index", armed(lambda: s[h.HIndex(0, h.RAISE)]), h.HostileError),
        case("slice", lambda: s[1:3]),
        case("reversed", lambda: list(reversed(s))),
        case("eq", lambda: (s == [a, b, c], s == S([a, b, c]), s == (a,))),
        case("repr and str", lambda: (repr(s), str(s))),
        case("repr raising", armed(lambda: repr(raising)), h.HostileError),
        case("sort raising key", lambda: S([a, b]).sort(key=_raise), h.HostileError),
        case("sort incomparable", lambda: S([a, plain]).sort(), TypeError),
        case("copy", lambda: (copy.copy(s), copy.deepcopy(S()))),
    ]


class _Plain:
    pass


def _raise(item):
    raise h.HostileError("key")


def make(w):
    items = [_item(w) for _ in range(w.integer(0, 4, "n"))]
    return w.m.ShadeSeq(items)


def _item(w):
    kind = w.integer(0, 3, "item")
    if kind == 0:
        obj = h.HKey(w.integer(0, 3, "val"), w.integer(0, 6, "mode"), w.integer(0, 2, "after"))
        w.keep.append(obj)  # held only weakly otherwise: dies when killed
        return obj
    if kind == 1 and w.pool:
        return w.pool[w.integer(0, len(w.pool) - 1, "which")]
    if kind == 2:
        return Item(w.integer(0, 3, "rank"))  # dies at once
    return w.value()


def op_write(w):
    s = w.pick()
    which = w.integer(0, 6, "write")
    if which == 0:
        s.append(_item(w))
    elif which == 1:
        s.insert(w.index(-3, 3), _item(w))
    elif which == 2:
        s.extend([_item(w) for _ in range(w.integer(0, 3, "n"))])
    elif which == 3:
        s += [_item(w) for _ in range(w.integer(0, 3, "n"))]
    elif which == 4:
        s[w.index(-3, 3)] = _item(w)
    elif which == 5:
        s[w.index(-3, 3, "start"):w.index(-3, 3, "stop")] = [_item(w)]
    else:
        s.pop(_item(w))


def op_lookup(w):
    s = w.pick()
    item = _item(w)
    which = w.integer(0, 3, "lookup")
    if which == 0:
        item in s
    elif which == 1:
        s.index(item)
    elif which == 2:
        s.count(item)
    else:
        s.remove(item)


def op_read(w):
    s = w.pick()
    which = w.integer(0, 5, "read")
    if which == 0:
        s[w.index(-3, 3)]
    elif which == 1:
        s[w.index(-3, 3, "start"):w.index(-3, 3, "stop"):w.choice([1, -1, 2], "step")]
    elif which == 2:
        for _ in s:
            if w.integer(0, 1, "kill"):
                w.kill()
    elif which == 3:
        reversed(s)
    elif which == 4:
        repr(s), str(s)
    else:
        s == w.pick()


def op_sort(w):
    s = w.pick()
    key = None
    if w.integer(0, 1, "key"):
        key = h.HFunc(1, w.integer(0, 6, "mode"), w.integer(0, 2, "after"))
    s.sort(key=key, reverse=bool(w.integer(0, 1, "reverse")))


def op_add(w):
    w.pool.append(w.pick() + w.pick())


def op_kill(w):
    w.kill()
    gc.collect()


def op_inherited(w):
    s = w.pick()
    which = w.integer(0, 3, "inherited")
    if which == 0:
        w.pool.append(copy.copy(s))
    elif which == 1:
        s *= 2
    elif which == 2:
        del s[w.index(-2, 2)]
    else:
        s.clear()


FUZZ_OPS = [op_write, op_lookup, op_read, op_sort, op_add, op_kill, op_inherited]

MUTATORS = [
    lambda t: t.data.clear(),
    lambda t: t.data.pop(),
    lambda t: t.data.reverse(),
    lambda t: t.append(t),
]


def huge_cases(m):
    items = [Item(i) for i in range(1_000_000)]

    def build_and_drop():
        s = m.ShadeSeq(items)
        n = len(s)
        s.sort(key=lambda o: -o.rank)
        # Collected before the items die: otherwise each death would be a
        # linear search of the million references.
        del s
        gc.collect()
        return n

    def die():
        # Each death is a linear search: quadratic in the count.
        local = [Item(i) for i in range(5_000)]
        s = m.ShadeSeq(local)
        del local[:]
        return len(s)

    return [
        case("ShadeSeq(1e6 items) and sort", build_and_drop),
        case("5e3 items die", die),
    ]
