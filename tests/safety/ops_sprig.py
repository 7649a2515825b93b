"""sprig: Sprig tree printing."""

import harness as h
from harness import armed, case

MODULE = "korvo.datastructures.sprig"


def leak_cases(m):
    S = m.Sprig
    tree = S("root", [S("a", [S("a1"), S("a2\nx")]), S("b", [S("b1")]), "leaf", ""])

    def chain(depth):
        root = node = S("n")
        for _ in range(depth):
            child = S("n")
            node.add_child(child)
            node = child
        return root

    deep = chain(5000)

    def self_child():
        s = S("me")
        s.add_child(s)
        return str(s)

    return [
        case("construct", lambda: S("x", [S("y")])),
        case("construct keywords", lambda: S(name="x", children=None)),
        case("construct no name", lambda: S(), TypeError),
        case("add_child", lambda: S("x").add_child("y")),
        case("add_child to tuple", lambda: S("x", (1,)).add_child(2), AttributeError),
        case("str", lambda: str(tree)),
        case("str unicode", lambda: str(S("é", ["日本\n", S("\U0001F600", ["", "x"])]))),
        case("str empty names", lambda: str(S("", [S(""), ""]))),
        case("str int name", lambda: str(S(5)), TypeError),
        case("str int child name", lambda: str(S("x", [S(5)])), TypeError),
        case("str set children", lambda: str(S("x", {1})), TypeError),
        case("str raising child", armed(lambda: str(S("x", [h.HText(1, h.RAISE)]))),
             h.HostileError),
        case("str wrong child text", armed(lambda: str(S("x", [h.HText(1, h.WRONG)]))),
             TypeError),
        case("str deep", lambda: str(deep), RecursionError),
        case("str self", self_child, RecursionError),
    ]


def make(w):
    return w.m.Sprig(_name(w), w.value("children") if w.integer(0, 1, "children") else None)


def _name(w):
    kind = w.integer(0, 2, "name")
    if kind == 0:
        return w.text("name")
    if kind == 1:
        return w.choice(["é\n日本", "\U0001F600", "", "\n"], "name")
    return w.value("name")


def _child(w):
    kind = w.integer(0, 3, "child")
    if kind == 0 and w.pool:
        return w.pool[w.integer(0, len(w.pool) - 1, "which")]
    if kind == 1:
        return h.HText(w.text(), w.integer(0, 6, "mode"), w.integer(0, 2, "after"))
    if kind == 2:
        return make(w)
    return w.value("child")


def op_add(w):
    w.pick().add_child(_child(w))


def op_str(w):
    str(w.pick())


def op_edit(w):
    s = w.pick()
    which = w.integer(0, 2, "edit")
    if which == 0:
        s.name = _name(w)
    elif which == 1:
        s.children = w.value("children")
    else:
        s.children = [_child(w) for _ in range(w.integer(0, 3, "n"))]


def op_reinit(w):
    s = w.pick()
    type(s).__init__(s, _name(w), w.value("children"))


FUZZ_OPS = [op_add, op_str, op_edit, op_reinit]

MUTATORS = [
    lambda t: t.children.clear(),
    lambda t: t.children.pop(),
    lambda t: t.children.append(t),
    lambda t: setattr(t, "children", None),
    lambda t: setattr(t, "name", 5),
]


def huge_cases(m):
    S = m.Sprig
    wide = S("root", [S(f"c{i}") for i in range(1_000_000)])
    return [case("str of 1e6 children", lambda: len(str(wide)))]
