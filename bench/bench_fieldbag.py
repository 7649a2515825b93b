"""Attribute dictionaries: building and attribute reads, dotted keys, merging."""

from __future__ import annotations

import random
import types
from collections.abc import Mapping

import pytest

from conftest import cases, compile_body, needs, optional, run

pytestmark = needs("korvo.datastructures.fieldbag")


def fieldbag():
    from korvo.datastructures import fieldbag as module

    return module


# ---------------------------------------------------------------------------
# Build an attribute dict of n entries, read 3 in 10 of them as attributes.

ATTR_SIZES = (10, 100)


def attr_source(n: int) -> dict:
    return {f"key{i}": i for i in range(n)}


def attr_reads(n: int) -> list[str]:
    return [f"key{i}" for i in range(0, n, 10 // 3)][: 3 * n // 10]


def attr_target(impl: str, n: int):
    src = attr_source(n)
    names = attr_reads(n)
    if impl == "dict":
        make, reads = dict, [f"o[{name!r}]" for name in names]
    else:
        reads = [f"o.{name}" for name in names]
        if impl == "FieldBag":
            make = fieldbag().FieldBag
        elif impl == "addict.Dict":
            make = optional("addict").Dict
        elif impl == "munch.Munch":
            make = optional("munch").Munch
        elif impl == "easydict.EasyDict":
            make = optional("easydict").EasyDict
        elif impl == "box.Box":
            make = optional("box").Box
        elif impl == "plain object":
            make = lambda src: types.SimpleNamespace(**src)  # noqa: E731
        else:
            raise AssertionError(impl)
    fn = compile_body("build_and_read", "make, src", ["o = make(src)", *reads, "return o"], {})
    assert fn(make, src) is not None
    return lambda: fn(make, src)


@pytest.mark.parametrize("size", ATTR_SIZES)
@pytest.mark.parametrize(
    "impl",
    cases(
        korvo=["FieldBag"],
        peers=["addict.Dict", "munch.Munch", "easydict.EasyDict", "box.Box"],
        limits=["dict", "plain object"],
    ),
)
def bench_attribute_dict(benchmark, impl, size):
    run(benchmark, workload="attribute dict: build, read 3 in 10 as attributes",
        size=size, unit="entries", impl=impl, target=attr_target(impl[1], size))


# ---------------------------------------------------------------------------
# Dotted keys: n reads, writes or membership tests of three-level paths in
# a tree of 10 x 10 x 10 leaves.

DOTTED_SIZES = (100, 1000)


def dotted_tree() -> dict:
    return {f"a{i}": {f"b{j}": {f"c{k}": k for k in range(10)} for j in range(10)}
            for i in range(10)}


def dotted_paths(n: int) -> list[tuple[str, str, str]]:
    paths = [(f"a{i}", f"b{j}", f"c{k}") for i in range(10) for j in range(10) for k in range(10)]
    random.Random(7).shuffle(paths)
    return paths[:n]


_MISSING = object()


def dotted_target(op: str, impl: str, n: int):
    """A function doing `n` dotted operations of kind `op` ("read", "write",
    "in") through `impl`, and a check of what it did."""
    paths = dotted_paths(n)
    dotted = [".".join(p) for p in paths]
    tree = dotted_tree()
    ns = {"MISSING": _MISSING}

    if impl == "plain dicts":
        obj = tree
        index = [f'o["{a}"]["{b}"]["{c}"]' for a, b, c in paths]
        contains = [f'"{c}" in o["{a}"]["{b}"]' for a, b, c in paths]
    else:
        if impl == "NestedFieldBag":
            obj = fieldbag().NestedFieldBag(tree)
        elif impl == "box.Box(box_dots=True)":
            obj = optional("box").Box(tree, box_dots=True)
        elif impl == "dotty_dict":
            obj = optional("dotty_dict").dotty(tree)
        elif impl == "OmegaConf select/update":
            oc = optional("omegaconf").OmegaConf
            obj = oc.create(tree)
            ns["OC"] = oc
        else:
            raise AssertionError(impl)
        index = [f'o["{k}"]' for k in dotted]
        contains = [f'"{k}" in o' for k in dotted]
        if impl.startswith("OmegaConf"):
            index = [f'OC.select(o, "{k}")' for k in dotted]
            contains = [f'OC.select(o, "{k}", default=MISSING) is not MISSING' for k in dotted]

    if op == "read":
        lines = [f"r = {e}" for e in index] + ["return r"]
    elif op == "write":
        if impl.startswith("OmegaConf"):
            lines = [f'OC.update(o, "{k}", -1)' for k in dotted]
        else:
            lines = [f"{e} = -1" for e in index]
    else:
        lines = [f"r = {e}" for e in contains] + ["return r"]

    fn = compile_body(f"dotted_{op}", "o", lines, ns)
    result = fn(obj)
    a, b, c = paths[-1]
    if op == "read":
        assert result == int(c[1:]), (impl, result)
    elif op == "in":
        assert result is True, (impl, result)
    else:
        check = obj if impl == "plain dicts" else None
        if check is not None:
            assert check[a][b][c] == -1
    return lambda: fn(obj)


DOTTED_CASES = cases(
    korvo=["NestedFieldBag"],
    peers=["box.Box(box_dots=True)", "dotty_dict", "OmegaConf select/update"],
    limits=["plain dicts"],
)


@pytest.mark.parametrize("size", DOTTED_SIZES)
@pytest.mark.parametrize("impl", DOTTED_CASES)
def bench_dotted_read(benchmark, impl, size):
    run(benchmark, workload='dotted read bag["a.b.c"]', size=size, unit="reads", impl=impl,
        target=dotted_target("read", impl[1], size))


@pytest.mark.parametrize("size", DOTTED_SIZES)
@pytest.mark.parametrize("impl", DOTTED_CASES)
def bench_dotted_write(benchmark, impl, size):
    run(benchmark, workload='dotted write bag["a.b.c"] = v', size=size, unit="writes",
        impl=impl, target=dotted_target("write", impl[1], size))


@pytest.mark.parametrize("size", DOTTED_SIZES)
@pytest.mark.parametrize("impl", DOTTED_CASES)
def bench_dotted_in(benchmark, impl, size):
    run(benchmark, workload='dotted "a.b.c" in bag', size=size, unit="tests", impl=impl,
        target=dotted_target("in", impl[1], size))


# ---------------------------------------------------------------------------
# Merge an n-leaf nested mapping into a filled nested dict: half of the
# source's leaves replace stored ones, half are new.

MERGE_SIZES = (1000, 10000)


def merge_source(n: int) -> dict:
    per = n // 100
    return {f"s{i}": {f"m{j}": {f"k{k}": k for k in range(per)} for j in range(10)}
            for i in range(10)}


def merge_filled(n: int) -> dict:
    per = n // 100
    return {f"s{i}": {f"m{j}": {f"k{k}": -k for k in range(per // 2, per + per // 2)}
                      for j in range(10)}
            for i in range(10)}


def copy_tree(d: dict) -> dict:
    return {k: copy_tree(v) if isinstance(v, dict) else v for k, v in d.items()}


def plain_merge(dst: dict, src: Mapping) -> None:
    """Recursive merge written in plain Python: mappings merge level by level
    (new ones are copied), other values replace."""
    for key, value in src.items():
        if isinstance(value, Mapping):
            level = dst.get(key)
            if not isinstance(level, dict):
                level = dst[key] = {}
            plain_merge(level, value)
        else:
            dst[key] = value


def merge_case(impl: str, n: int):
    """(target, setup): setup builds a fresh filled structure per round."""
    src, filled = merge_source(n), merge_filled(n)
    if impl == "NestedFieldBag.update":
        cls = fieldbag().NestedFieldBag
        return (lambda dst: dst.update(src)), (lambda: (cls(filled),))
    if impl == "OmegaConf merge_with (in place)":
        oc = optional("omegaconf").OmegaConf
        return (lambda dst: dst.merge_with(src)), (lambda: (oc.create(filled),))
    if impl == "box.Box.merge_update":
        box = optional("box")
        return (lambda dst: dst.merge_update(src)), (lambda: (box.Box(filled),))
    if impl == "addict.Dict.update":
        addict = optional("addict")
        return (lambda dst: dst.update(src)), (lambda: (addict.Dict(filled),))
    if impl == "plain recursive merge":
        return (lambda dst: plain_merge(dst, src)), (lambda: (copy_tree(filled),))
    raise AssertionError(impl)


@pytest.mark.parametrize("size", MERGE_SIZES)
@pytest.mark.parametrize(
    "impl",
    cases(
        korvo=["NestedFieldBag.update"],
        peers=["OmegaConf merge_with (in place)", "box.Box.merge_update", "addict.Dict.update"],
        limits=["plain recursive merge"],
    ),
)
def bench_merge(benchmark, impl, size):
    target, setup = merge_case(impl[1], size)
    (dst,) = setup()
    target(dst)
    assert dst["s9"]["m9"][f"k{size // 100 - 1}"] == size // 100 - 1
    run(benchmark, workload="merge a nested mapping (update)", size=size, unit="leaves",
        impl=impl, target=target, setup=setup)
