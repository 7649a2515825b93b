"""fieldbag: FieldBag and NestedFieldBag."""

import harness as h
from harness import ANY, armed, case

MODULE = "korvo.datastructures.fieldbag"


def leak_cases(m):
    FB, NFB = m.FieldBag, m.NestedFieldBag

    class Sub(NFB):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)

    bag = NFB({"a": {"b": 1}, "s": "xyz", "n": 5})
    sub = Sub({"a": {"b": 1}})
    bad_key = h.HKey("k", h.RAISE)
    raising_map = h.HMap({"a": 1}, h.RAISE)

    def set_dotted():
        bag["x.y.z"] = 1

    def del_dotted():
        bag["q.r"] = 1
        del bag["q.r"]

    def attr_roundtrip():
        b = FB(a=1)
        b.x = 2
        del b.x
        return b.a

    return [
        case("FieldBag(mapping, **kw)", lambda: FB({"a": 1}, b=2)),
        case("FieldBag(pairs)", lambda: FB([("a", 1)])),
        case("FieldBag(1)", lambda: FB(1), TypeError),
        case("FieldBag(1, 2)", lambda: FB({}, {}), TypeError),
        case("FieldBag.__init__()", lambda: FB.__init__(), TypeError),
        case("FieldBag attributes", attr_roundtrip),
        case("FieldBag missing attribute", lambda: FB().missing, AttributeError),
        case("FieldBag repr", lambda: repr(FB(a=[1])),),
        case("FieldBag repr raising value", armed(lambda: repr(FB(a=h.HText(1, h.RAISE)))),
             h.HostileError),
        case("NestedFieldBag(nested)", lambda: NFB({"a": {"b": {"c": 1}}}, d={"e": 2})),
        case("NestedFieldBag(dotted)", lambda: NFB({"a.b.c": 1})),
        case("getitem dotted", lambda: bag["a.b"]),
        case("getitem plain", lambda: bag["n"]),
        case("getitem missing head", lambda: bag["zz.b"], KeyError),
        case("getitem missing", lambda: bag["zz"], KeyError),
        case("getitem through int", lambda: bag["n.x"], TypeError),
        case("getitem unhashable", lambda: bag[[]], TypeError),
        case("getitem raising hash", armed(lambda: bag[bad_key]), h.HostileError),
        case("setitem dotted", set_dotted),
        case("setitem over a value", lambda: bag.__setitem__("n.x", 1), KeyError),
        case("setitem subclass dotted", lambda: sub.__setitem__("p.q", 1)),
        case("contains dotted", lambda: "a.b" in bag),
        case("contains substring", lambda: "s.y" in bag),
        case("contains through int", lambda: "n.x" in bag, TypeError),
        case("delitem dotted", del_dotted),
        case("delitem missing", lambda: bag.__delitem__("zz.q"), KeyError),
        case("get", lambda: bag.get("a.zz")),
        case("pop default", lambda: bag.pop("nope", 1)),
        case("pop missing", lambda: bag.pop("nope"), KeyError),
        case("setdefault dotted", lambda: bag.setdefault("p.q", 0)),
        case("update merge", lambda: NFB({"a": {"b": 1}}).update({"a": {"c": 2}}, k=3)),
        case("update pairs and strings", lambda: NFB().update([("k", 1), "xy"])),
        case("update bad element", lambda: NFB().update([("k", 1), (1, 2, 3)]), TypeError),
        case("update bad element generator", lambda: NFB().update(x for x in [(1, 2, 3)]),
             TypeError),
        case("update two args", lambda: NFB().update({}, {}), TypeError),
        case("update None", lambda: NFB().update(None), TypeError),
        case("update no len", lambda: NFB().update([5]), TypeError),
        case("update mapping over leaf", lambda: NFB(a=1).update({"a": {"b": 1}}), AttributeError),
        case("update raising mapping", armed(lambda: NFB().update(raising_map)), ANY),
        case("update raising key", armed(lambda: NFB().update([(bad_key, 1)])), h.HostileError),
        case("update deep", lambda: NFB().update(h.deep("dict", 5000)), ANY),
        case("dotted deep", lambda: NFB().__setitem__("a." * 5000 + "z", 1), ANY),
        case("repr nested", lambda: repr(NFB({"a": {"b": 1}}))),
        case("subclass roundtrip", lambda: Sub({"a.b": 1}, c={"d": 2})["a.b"]),
    ]


def make(w):
    m = w.m
    kind = w.integer(0, 2, "make")
    if kind == 0:
        return m.FieldBag(w.value("init"))
    return m.NestedFieldBag(w.value("init"))


def _dotted(w):
    parts = [w.choice(["a", "b", "", "c"], "part") for _ in range(w.integer(1, 4, "depth"))]
    return ".".join(parts)


def op_setitem(w):
    w.pick()[_dotted(w)] = w.value()


def op_setitem_key(w):
    w.pick()[w.key()] = w.value()


def op_getitem(w):
    w.pick()[_dotted(w)]


def op_getitem_key(w):
    w.pick()[w.key()]


def op_contains(w):
    return w.key() in w.pick() or _dotted(w) in w.pick()


def op_delitem(w):
    del w.pick()[_dotted(w)]


def op_update(w):
    bag = w.pick()
    if w.integer(0, 1, "kw"):
        bag.update(w.value(), **{"k": w.value()})
    else:
        bag.update(w.value())


def op_mapping_methods(w):
    bag = w.pick()
    which = w.integer(0, 4, "method")
    if which == 0:
        bag.get(_dotted(w), w.value())
    elif which == 1:
        bag.pop(_dotted(w), w.value())
    elif which == 2:
        bag.setdefault(_dotted(w), w.value())
    elif which == 3:
        bag.popitem()
    else:
        bag |= {w.key(): w.value()}


def op_attributes(w):
    bag = w.pick()
    name = w.choice(["a", "keys", "update", "__class__", "my-key", "b"], "attr")
    which = w.integer(0, 2, "how")
    if which == 0:
        setattr(bag, name, w.value())
    elif which == 1:
        getattr(bag, name)
    else:
        delattr(bag, name)


def op_reads(w):
    bag = w.pick()
    for read in (repr, str, len, list, dict, bool):
        read(bag)
    bag == w.pick()


def op_reinit(w):
    bag = w.pick()
    type(bag).__init__(bag, w.value())


def op_nest_self(w):
    bag = w.pick()
    bag[_dotted(w)] = bag


FUZZ_OPS = [op_setitem, op_setitem_key, op_getitem, op_getitem_key, op_contains, op_delitem,
            op_update, op_mapping_methods, op_attributes, op_reads, op_reinit, op_nest_self]

MUTATORS = [
    lambda t: t.clear(),
    lambda t: t.popitem(),
    lambda t: dict.update(t, {"a": 1, "b": {"c": 2}}),
    lambda t: setattr(t, "__dict__", {}),
]


def huge_cases(m):
    NFB = m.NestedFieldBag
    big = {f"k{i}": i for i in range(1_000_000)}
    nested = {f"k{i}": {"v": i} for i in range(200_000)}
    return [
        case("NestedFieldBag(1e6 keys)", lambda: len(NFB(big))),
        case("NestedFieldBag(2e5 levels)", lambda: len(NFB(nested))),
        case("FieldBag(1e6 keys)", lambda: len(m.FieldBag(big))),
    ]
