"""Logic: And(Or(p1, p2), Not(p3)) over n items, with patterns and with
callables, as one call over all items and as a filter (one call per item).

The items are made so that no expression can stop early: p1 and p3 match
nothing, p2 only the last item, so every form does the same 3n tests.
"""

from __future__ import annotations

import re

import pytest

from conftest import cases, needs, run

pytestmark = needs("korvo.datastructures.logic")

SIZES = (1000, 10_000)


def items_of(n: int) -> list[str]:
    return [f"item-{i:06d}" for i in range(n - 1)] + [f"LAST-{n:06d}"]


PATTERNS = ("^zz", "^LAST", "qq")
CALLABLES = (str.isdigit, str.isupper, str.isspace)


def expression(kind: str):
    from korvo.datastructures.logic import And, Not, Or

    e1, e2, e3 = PATTERNS if kind == "patterns" else CALLABLES
    return And(Or(e1, e2), Not(e3))


def tests(kind: str):
    if kind == "patterns":
        return tuple(re.compile(p).search for p in PATTERNS)
    return CALLABLES


def all_items_target(impl: str, kind: str, items: list[str]):
    if impl == "And(Or(..), Not(..))":
        expr = expression(kind)
        return lambda: expr(*items)
    t1, t2, t3 = tests(kind)

    def target():
        return ((any(t1(s) for s in items) or any(t2(s) for s in items))
                and not any(t3(s) for s in items))
    return target


def filter_target(impl: str, kind: str, items: list[str]):
    if impl == "And(Or(..), Not(..))":
        expr = expression(kind)
        return lambda: [s for s in items if expr(s)]
    t1, t2, t3 = tests(kind)
    if impl == "all/any generator expressions":
        t12, t3_ = (t1, t2), (t3,)
        return lambda: [s for s in items
                        if any(t(s) for t in t12) and not any(t(s) for t in t3_)]
    return lambda: [s for s in items if (t1(s) or t2(s)) and not t3(s)]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind", ["patterns", "callables"])
@pytest.mark.parametrize("impl", cases(korvo=["And(Or(..), Not(..))"],
                                       limits=["all/any generator expressions"]))
def bench_logic_all_items(benchmark, impl, kind, size):
    target = all_items_target(impl[1], kind, items_of(size))
    assert target()
    run(benchmark, workload=f"logic, {kind}: one call over all items", size=size,
        unit="items", impl=impl, target=target)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind", ["patterns", "callables"])
@pytest.mark.parametrize("impl", cases(korvo=["And(Or(..), Not(..))"],
                                       limits=["all/any generator expressions",
                                               "plain boolean expression"]))
def bench_logic_filter(benchmark, impl, kind, size):
    target = filter_target(impl[1], kind, items_of(size))
    assert target() == items_of(size)[-1:]
    run(benchmark, workload=f"logic, {kind}: filter, one call per item", size=size,
        unit="items", impl=impl, target=target)
