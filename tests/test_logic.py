"""Logic expressions: construction, evaluation, text form, equality, logic_str."""

import re
import subprocess
import sys

import pytest

import korvo.datastructures.logic as logic
from korvo.datastructures.logic import And, BaseLogic, Not, Or, logic_str


def run_isolated(code, *flags):
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True)


def test_layout():
    assert [n for n in vars(logic) if not n.startswith("__") or n == "__all__"] == [
        "re", "logging", "decode_cli_string", "__all__", "logger",
        "BaseLogic", "And", "Or", "Not", "logic_str"]
    assert logic.__all__ == ["And", "Or", "Not"] and logic.logger.name == logic.__name__
    assert list(vars(BaseLogic))[2:7] == ["__init__", "__call__", "__str__", "__repr__", "__eq__"]
    # (pickling elsewhere in the run may cache __slotnames__ on the class)
    assert [n for n in vars(And) if n != "__slotnames__"] == ["__module__", "__doc__", "__call__"]
    assert "untrusted" in logic_str.__doc__
    with pytest.raises(TypeError):
        hash(Not())


def test_construction(monkeypatch):
    inner = Or("x")
    expr = And("a+", len, inner)
    assert expr.expressions[0].pattern == "a+" and expr.expressions[1:] == [len, inner]
    for bad in (5, b"a", re.compile("a")):
        with pytest.raises(TypeError, match=re.escape(
                f"Expression only accepts str and callable. Got: {bad} ({type(bad)})")):
            And(bad)
    obj = Or.__new__(Or)
    with pytest.raises(re.error):
        obj.__init__("a", "(")
    assert [p.pattern for p in obj.expressions] == ["a"]
    seen = []
    monkeypatch.setattr(logic, "re", type("R", (), {"compile": staticmethod(seen.append)}))
    And("a", len, "b")
    assert seen == ["a", "b"]


@pytest.mark.parametrize("expr, items, expected", [
    (And(), (1,), True), (Or(), (1,), False), (Not(), (), True), (And("a"), (), False),
    (Not("a"), (), True), (And("a", "b"), ("a", "b"), True), (And("a", "b"), ("a",), False),
    (Not("a"), ("b", "z"), True), (Not("a"), ("a", "z"), False), (Or("^x$"), (1, "x"), True),
    (And(Or("a", "b"), Not("z")), ("a", "d"), True), (Not(str.isdigit), ("12", "ab"), False),
])
def test_verdicts(expr, items, expected):
    assert expr(*items) is expected


def test_every_item_first_then_truth_until_deciding():
    events = []

    class Result:  # logs its own truth test
        def __init__(self, name, item, verdict):
            self.args, self.verdict = (name, "bool", item), verdict

        def __bool__(self):
            events.append(self.args)
            return self.verdict

    def recorder(name, true_for=()):
        return lambda item: events.append((name, "call", item)) or Result(name, item, item in true_for)

    assert Or(recorder("f", {2}), recorder("s"))(1, 2, 3) is True
    assert events == [("f", "call", 1), ("f", "call", 2), ("f", "call", 3),
                      ("f", "bool", 1), ("f", "bool", 2)]
    events.clear()
    assert And(recorder("f"), recorder("s"))(1) is False
    assert events == [("f", "call", 1), ("f", "bool", 1)]


def test_nested_gets_all_items_through_the_base_global(monkeypatch):
    got = []
    spy = type("Spy", (And,), {"__call__": lambda self, *items: got.append(items) or True})()
    assert Not(spy)(1, 2) is False and got == [(1, 2)]
    monkeypatch.setattr(logic, "BaseLogic", int)  # no longer nested: one item per call
    assert And(spy)(1, 2) is True and got == [(1, 2), (1,), (2,)]


def test_errors_and_mutation_during_call():
    with pytest.raises(ZeroDivisionError):
        And(lambda item: type("Bad", (), {"__bool__": lambda b: 1 / 0})())(1)
    with pytest.raises(NotImplementedError):
        And(BaseLogic())()
    with pytest.raises(TypeError, match="takes 1 positional"):
        And(BaseLogic())(1)
    obj = And("a")
    obj.expressions.append(object())
    for op in (obj, str):
        with pytest.raises(AttributeError):
            op(obj)
    obj.expressions.pop(0)  # `search` is looked up before the item's str()
    with pytest.raises(AttributeError):
        obj(type("Unprintable", (), {"__str__": lambda item: 1 / 0})())
    obj = And()
    obj.expressions += [lambda item: obj.expressions.clear() or True, "not a pattern"]
    assert obj("x") is True


def test_text_form_and_equality():
    Mine = type("Mine", (Not,), {"__str__": lambda self: "mine"})
    assert str(Or("x", Not("y"))) == repr(Or("x", Not("y"))) == "Or('x', Not('y'))"
    assert str(And(len, "it's")) == f"And({len!r}, 'it's')" and str(Or()) == "Or()"
    assert repr(Mine("a")) == "mine" and str(And(Mine())) == "And(mine)"
    assert And("a", Or("b")) == And("a", Or("b")) and And(len) != And(str)
    assert And("a") != Or("a") and (And("a") == "a") is False and Mine() != Not()


def test_logic_str(monkeypatch):
    expr = And(Or("a", "b"), Not("^z"))
    assert logic_str(str(expr)) == expr and logic_str(string="Or(*'ab')") == Or("a", "b")
    assert logic_str("And(string)") == And("And(string)")
    assert type(logic_str("BaseLogic('a')")) is BaseLogic
    for text, context in [("'a' + 'bc'", AssertionError), ("And(", SyntaxError),
                          ("Foo('a')", NameError), ("And(5)", TypeError), ("And('(')", re.error)]:
        with pytest.raises(ValueError, match=re.escape(
                f"Not a properly formatted logic string: {text}")) as err:
            logic_str(text)
        assert type(err.value.__context__) is context and err.value.__cause__ is None
    with pytest.raises(KeyboardInterrupt):
        logic_str("(_ for _ in ()).throw(KeyboardInterrupt)")
    monkeypatch.setattr(logic, "decode_cli_string", lambda v: 1 / v)
    with pytest.raises(ZeroDivisionError):
        logic_str(0)
    proc = run_isolated("from korvo.datastructures.logic import logic_str as f; "
                        "print(repr(f(\"'a' + 'bc'\")))", "-O")
    assert proc.stdout == "'abc'\n", proc.stderr


def test_deep_nesting_never_crashes():
    proc = run_isolated("""if 1:
        from korvo.datastructures.logic import And, Or, Not, logic_str
        def chain():
            x = And('a')
            for i in range(100000):
                x = (And, Or, Not)[i % 3](x)
            return x
        x, y = chain(), chain()
        for op in (lambda: x('a'), lambda: str(x), lambda: x == y):
            try:
                op()
            except (RecursionError, MemoryError):
                pass
        for text in ['And(' * 100000, 'Not(' + 'not ' * 100000 + '1)', '-' * 100000 + '1']:
            try:
                logic_str(text)
            except (ValueError, RecursionError, MemoryError):
                pass
        del x, y
        print('ok')
    """)
    assert proc.stdout == "ok\n", proc.stderr
