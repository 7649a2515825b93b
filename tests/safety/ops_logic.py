"""logic: And, Or, Not, BaseLogic, logic_str."""

import re

import harness as h
from harness import ANY, armed, case

MODULE = "korvo.datastructures.logic"


def leak_cases(m):
    And, Or, Not, Base = m.And, m.Or, m.Not, m.BaseLogic
    expr = And(Or("a", "b"), Not("z"), str.isdigit, "x+")

    def deep():
        e = And("a")
        for _ in range(5000):
            e = Not(e)
        return e

    deep_expr = deep()

    return [
        case("construct", lambda: And("a", len, Or("b"))),
        case("construct bad", lambda: And("a", 5), TypeError),
        case("construct compiled", lambda: Or(re.compile("a")), TypeError),
        case("construct invalid pattern", lambda: Not("("), re.error),
        case("construct keyword", lambda: And(x="a"), TypeError),
        case("construct raising str", armed(lambda: And(h.HText(1, h.RAISE))), h.HostileError),
        case("call", lambda: expr("a", "12", "xx")),
        case("call no items", lambda: (And("a")(), Or("a")(), Not("a")())),
        case("call raising callable", armed(lambda: Or(h.HFunc(1, h.RAISE))(1)), h.HostileError),
        case("call raising truth", armed(lambda: And(h.HFunc(1, h.WRONG))(1)), h.HostileError),
        case("call raising str item", armed(lambda: Or("a")(h.HText(1, h.RAISE))), h.HostileError),
        case("call keyword", lambda: expr(item=1), TypeError),
        case("call base", lambda: Base()(), NotImplementedError),
        case("call base with items", lambda: Base()(1), TypeError),
        case("call nested base", lambda: And(Base())(1), TypeError),
        case("call bad entry", lambda: _with_entry(And, 5)(1), AttributeError),
        case("call deep", lambda: deep_expr("a"), RecursionError),
        case("str", lambda: (str(expr), repr(expr))),
        case("str bad entry", lambda: str(_with_entry(Or, 5)), AttributeError),
        case("str raising repr", armed(lambda: str(Or(h.HFunc(1, h.RAISE)))), h.HostileError),
        case("str deep", lambda: str(deep_expr), RecursionError),
        case("eq", lambda: (expr == And("a"), And("a") == And("a"), And("a") == 5)),
        case("eq raising", armed(lambda: _with_entry(And, h.HKey(1, h.RAISE))
                                 == _with_entry(And, h.HKey(1, h.RAISE))), h.HostileError),
        case("eq deep", lambda: deep_expr == deep(), RecursionError),
        case("hash", lambda: hash(expr), TypeError),
        case("logic_str", lambda: m.logic_str("And('a', Or('b', Not('c')))")("ab")),
        case("logic_str quoted", lambda: m.logic_str("\"Or('a')\"")),
        case("logic_str syntax", lambda: m.logic_str("And("), ValueError),
        case("logic_str name", lambda: m.logic_str("Foo('a')"), ValueError),
        case("logic_str not logic", lambda: m.logic_str("'abc'"), ValueError),
        case("logic_str bad expression", lambda: m.logic_str("And(5)"), ValueError),
        case("logic_str raising decode", armed(lambda: m.logic_str(h.HText(1, h.RAISE))),
             h.HostileError),
        case("logic_str no argument", lambda: m.logic_str(), TypeError),
    ]


def _with_entry(cls, entry):
    e = cls()
    e.expressions.append(entry)
    return e


def _expression(w, depth=0):
    kind = w.integer(0, 5, "expr")
    if kind == 0 or depth > 2:
        return w.text("pattern")
    if kind == 1:
        return h.HFunc(w.integer(0, 1, "val"), w.integer(0, 6, "mode"), w.integer(0, 2, "after"))
    if kind == 2 and w.pool:
        return w.pool[w.integer(0, len(w.pool) - 1, "which")]
    if kind == 3:
        return w.value("expression")
    cls = w.choice(["And", "Or", "Not", "BaseLogic"], "class")
    return getattr(w.m, cls)(*[_expression(w, depth + 1) for _ in range(w.integer(0, 3, "n"))])


def make(w):
    cls = w.choice(["And", "Or", "Not"], "class")
    return getattr(w.m, cls)(*[_expression(w) for _ in range(w.integer(0, 3, "n"))])


def op_call(w):
    w.pick()(*[w.value("item") for _ in range(w.integer(0, 3, "items"))])


def op_construct(w):
    w.pool.append(make(w))


def op_edit(w):
    e = w.pick()
    which = w.integer(0, 2, "edit")
    if which == 0:
        e.expressions.append(_expression(w))
    elif which == 1:
        e.expressions = w.value("expressions")
    else:
        e.expressions.append(e)


def op_text(w):
    e = w.pick()
    text = str(e)
    repr(e)
    w.m.logic_str(text)


def op_logic_str(w):
    w.m.logic_str(w.choice([w.text(), "And('a', Or('b'))", "Not(*string)", "And(string)",
                            "Or(lambda x: x)", "BaseLogic('a')", "And(5)"], "source"))


def op_eq(w):
    w.pick() == w.pick()
    w.pick() != w.value()


FUZZ_OPS = [op_call, op_construct, op_edit, op_text, op_logic_str, op_eq]

MUTATORS = [
    lambda t: t.expressions.clear(),
    lambda t: t.expressions.append(t),
    lambda t: t.expressions.pop(),
    lambda t: setattr(t, "expressions", 5),
    lambda t: delattr(t, "expressions"),
]


def huge_cases(m):
    items = [str(i) for i in range(1_000_000)]
    patterns = [f"^{i}$" for i in range(2_000)]
    return [
        case("And over 1e6 items", lambda: m.And("9", str.isdigit)(*items)),
        case("Or of 2e3 patterns", lambda: m.Or(*patterns)("x", "y")),
    ]
