"""Weak-reference list of n objects: build, iterate, `in`, `index`, sort."""

from __future__ import annotations

import random
import weakref

import pytest

from conftest import cases, needs, optional, run

pytestmark = needs("korvo.datastructures.shadeseq")

SIZES = (1000, 10_000)
LOOKUPS = 10  # `in` and `index` look up ten objects spread over the list


class Item:
    def __init__(self, rank: int):
        self.rank = rank


_items: dict = {}


def items_of(n: int) -> list[Item]:
    """n live objects (kept alive here for the whole run), ranks shuffled."""
    if n not in _items:
        ranks = list(range(n))
        random.Random(3).shuffle(ranks)
        _items[n] = [Item(r) for r in ranks]
    return _items[n]


def looked_up(n: int) -> list[Item]:
    items = items_of(n)
    return [items[(2 * k + 1) * n // (2 * LOOKUPS)] for k in range(LOOKUPS)]


def container(impl: str, objs: list):
    if impl == "ShadeSeq":
        from korvo.datastructures.shadeseq import ShadeSeq

        return ShadeSeq(objs)
    if impl == "weakreflist.WeakList":
        return optional("weakreflist").WeakList(objs)
    if impl == "list of weakref.ref":
        return [weakref.ref(o) for o in objs]
    raise AssertionError(impl)


CASES = cases(korvo=["ShadeSeq"], peers=["weakreflist.WeakList"], limits=["list of weakref.ref"])


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_build(benchmark, impl, size):
    objs = items_of(size)
    run(benchmark, workload="weak list: build", size=size, unit="objects", impl=impl,
        target=lambda: container(impl[1], objs))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_iterate(benchmark, impl, size):
    seq = container(impl[1], items_of(size))
    if impl[1] == "list of weakref.ref":
        def target():
            for ref in seq:
                item = ref()
            return item
    else:
        def target():
            for item in seq:
                pass
            return item
    assert target() is items_of(size)[-1]
    run(benchmark, workload="weak list: iterate", size=size, unit="objects", impl=impl,
        target=target)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_contains(benchmark, impl, size):
    seq = container(impl[1], items_of(size))
    wanted = looked_up(size)
    if impl[1] == "list of weakref.ref":
        ref = weakref.ref
        target = lambda: [ref(o) in seq for o in wanted]  # noqa: E731
    else:
        target = lambda: [o in seq for o in wanted]  # noqa: E731
    assert all(target())
    run(benchmark, workload=f"weak list: `in`, {LOOKUPS} lookups", size=size, unit="objects",
        impl=impl, target=target)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_index(benchmark, impl, size):
    seq = container(impl[1], items_of(size))
    wanted = looked_up(size)
    if impl[1] == "list of weakref.ref":
        ref = weakref.ref
        target = lambda: [seq.index(ref(o)) for o in wanted]  # noqa: E731
    else:
        target = lambda: [seq.index(o) for o in wanted]  # noqa: E731
    assert target() == [items_of(size).index(o) for o in wanted]
    run(benchmark, workload=f"weak list: index, {LOOKUPS} lookups", size=size, unit="objects",
        impl=impl, target=target)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_sort(benchmark, impl, size):
    objs = items_of(size)
    if impl[1] == "list of weakref.ref":
        def target(seq):
            seq.sort(key=lambda r: r().rank)
    else:
        def target(seq):
            seq.sort(key=lambda o: o.rank)
    seq = container(impl[1], objs)
    target(seq)
    first = seq[0]() if impl[1] == "list of weakref.ref" else seq[0]
    assert first.rank == 0
    run(benchmark, workload="weak list: sort by key", size=size, unit="objects", impl=impl,
        target=target, setup=lambda: (container(impl[1], objs),))
