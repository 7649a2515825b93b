"""keytrail: KeyTrail, DictItem, IndexMarker."""

import types

import harness as h
from harness import ANY, armed, case

MODULE = "korvo.datastructures.keytrail"

NESTED = {"a": {"b": [1, {"c": 2}], "d": (3, 4)}, "e": {}, "f": [[1, 2], [3]], "g": (5,)}


def leak_cases(m):
    KT, IM = m.KeyTrail, m.IndexMarker
    kt = KT(NESTED)
    row = (("x", "y"), 1)
    bad_rows = h.HSeq([row, 7], h.RAISE, 1)

    def edit():
        k = KT()
        k.append(row)
        k.insert(0, [("z",), 2])
        k.extend([(("e",), 1), (("f", "g"), 2)])
        k[0] = [("w",), 3]
        k[1:2] = ((("p",), 1), (("q",), 2))  # the two elements become two rows
        return k.reconstruct()

    return [
        case("KeyTrail()", lambda: KT()),
        case("KeyTrail(nested)", lambda: KT(NESTED)),
        case("KeyTrail(rows)", lambda: KT([(("a",), 1), (("b",), 2)])),
        case("KeyTrail(bad rows)", lambda: KT([(("a",), 1), 5]), ValueError),
        case("KeyTrail(5)", lambda: KT(5), ValueError),
        case("KeyTrail(1, 2)", lambda: KT([], []), Exception),
        case("KeyTrail(mapping proxy)", lambda: KT(types.MappingProxyType({"a": 1})), ValueError),
        case("KeyTrail(iterator)", lambda: KT(iter([row]))),
        case("KeyTrail(raising rows)", armed(lambda: KT(bad_rows)), ValueError),
        case("KeyTrail(deep)", lambda: KT(h.deep("dict", 5000)), ANY),
        case("KeyTrail(deep list)", lambda: KT({"a": h.deep("list", 5000)}), ANY),
        case("__flatten__", lambda: list(KT.__flatten__(NESTED, ("p",)))),
        case("__flatten__ leaf", lambda: list(KT.__flatten__(5))),
        case("__flatten__ bad path", lambda: list(KT.__flatten__({"a": 1}, 5)), TypeError),
        case("__flatten__ list path", lambda: list(KT.__flatten__({"a": 1}, [1])), TypeError),
        case("__flatten__ partial", lambda: next(iter(KT.__flatten__(NESTED)))),
        case("__flatten__ close", lambda: KT.__flatten__(NESTED).close()),
        case("__flatten__ mutated", lambda: _flatten_mutated(KT), RuntimeError),
        case("__flatten__ bad items", lambda: list(KT.__flatten__(h.HMap({"a": 1}, h.RAISE))),
             ANY),
        case("edits and reconstruct", edit),
        case("append bad", lambda: KT().append(5), ValueError),
        case("insert bad", lambda: KT().insert(0, "abc"), ValueError),
        case("extend bad", lambda: KT().extend([row, 7]), ValueError),
        case("extend not iterable", lambda: KT().extend(5), ValueError),
        case("setitem bad", lambda: KT([row]).__setitem__(0, (1, 2, 3)), ValueError),
        case("setitem out of range", lambda: KT().__setitem__(3, row), IndexError),
        case("reconstruct", lambda: kt.reconstruct()),
        case("reconstruct bad row", lambda: _plain(KT, [(1, 2, 3)]).reconstruct(), ValueError),
        case("reconstruct conflict", lambda: _plain(KT, [(("a",), 1), (("a", "b"), 2)])
             .reconstruct(), TypeError),
        case("reconstruct empty path first", lambda: _plain(KT, [((), 1)]).reconstruct(), ANY),
        case("reconstruct marker first", lambda: _plain(KT, [((IM([], 0),), 1)]).reconstruct(),
             ANY),
        case("reconstruct path not iterable", lambda: _plain(KT, [(5, 1)]).reconstruct(),
             TypeError),
        case("IndexMarker", lambda: repr(IM((), "4"))),
        case("IndexMarker bad index", lambda: IM([], "x"), ValueError),
        case("DictItem", lambda: m.DictItem(("a",), 1).path),
    ]


def _plain(KT, rows):
    """A KeyTrail holding rows that the checked methods would refuse."""
    k = KT()
    list.extend(k, rows)
    return k


def _flatten_mutated(KT):
    d = {"a": 1, "b": 2}
    for _ in KT.__flatten__(d):
        d["c"] = 3


def make(w):
    m = w.m
    if w.integer(0, 1, "make"):
        return m.KeyTrail(w.value("source"))
    return m.KeyTrail(m.KeyTrail(NESTED))


def _row(w):
    kind = w.integer(0, 3, "row")
    if kind == 0:
        return (tuple(w.key() for _ in range(w.integer(0, 3, "len"))), w.value())
    if kind == 1:
        return (tuple(w.m.IndexMarker(w.choice([[], (), ""], "seq"), w.index(-1, 3))
                      for _ in range(w.integer(1, 3, "len"))), w.value())
    if kind == 2:
        return w.value()
    return h.HSeq([w.value(), w.value()], w.integer(0, 6, "mode"), w.integer(0, 2, "after"))


def op_append(w):
    w.pick().append(_row(w))


def op_insert(w):
    w.pick().insert(w.index(-3, 3), _row(w))


def op_extend(w):
    w.pick().extend([_row(w) for _ in range(w.integer(0, 3, "n"))])


def op_setitem(w):
    kt = w.pick()
    if w.integer(0, 1, "slice"):
        kt[w.index(-2, 2, "start"):w.index(-2, 2, "stop")] = _row(w)
    else:
        kt[w.index(-2, 2)] = _row(w)


def op_raw(w):
    """Rows put in unchecked, as the inherited list methods allow."""
    kt = w.pick()
    kt += [_row(w)]


def op_reconstruct(w):
    w.pick().reconstruct()


def op_flatten(w):
    gen = w.m.KeyTrail.__flatten__(w.value(), w.value("path"))
    for _ in range(w.integer(0, 20, "steps")):
        next(gen)


def op_new(w):
    w.pool.append(w.m.KeyTrail(w.value("source")))


def op_reads(w):
    kt = w.pick()
    for read in (repr, list, len):
        read(kt)
    kt == w.pick()
    kt.sort()


FUZZ_OPS = [op_append, op_insert, op_extend, op_setitem, op_raw, op_reconstruct, op_flatten,
            op_new, op_reads]

MUTATORS = [
    lambda t: t.clear(),
    lambda t: list.append(t, (("a",), 1)),
    lambda t: t.pop(),
    lambda t: list.__setitem__(t, slice(None), [(("x", "y"), 2)] * 3),
]


def huge_cases(m):
    big = {f"k{i}": {"v": [i]} for i in range(300_000)}
    rows = [((f"k{i}",), i) for i in range(1_000_000)]
    return [
        case("KeyTrail(3e5 nested)", lambda: len(m.KeyTrail(big).reconstruct())),
        case("KeyTrail(1e6 rows)", lambda: len(m.KeyTrail(rows))),
        case("extend(1e6 rows)", lambda: m.KeyTrail().extend(rows)),
    ]
