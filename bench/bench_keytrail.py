"""Path flattening: flatten an n-leaf nested dict/list structure into rows,
and rebuild it from the rows."""

from __future__ import annotations

import pytest

from conftest import cases, needs, optional, run

pytestmark = needs("korvo.datastructures.keytrail")

SIZES = (10_000, 100_000)


def nested(n: int) -> dict:
    """n leaves in groups of 100: four under 'meta', then 24 rows of a
    number and a list of three."""
    return {
        f"group{i}": {
            "meta": {"id": i, "name": f"g{i}", "on": True, "weight": i / 2},
            "rows": [{"x": j, "y": [j, j + 1, j + 2]} for j in range(24)],
        }
        for i in range(n // 100)
    }


def plain_flatten(obj, path=()):
    """Recursive generator in plain Python: (path, value) rows, list
    positions as ints."""
    items = obj.items() if isinstance(obj, dict) else enumerate(obj)
    for key, value in items:
        if isinstance(value, (dict, list, tuple)) and value:
            yield from plain_flatten(value, path + (key,))
        else:
            yield path + (key,), value


def plain_rebuild(rows) -> dict:
    """Rebuilds what plain_flatten produced (an int step is a list position)."""
    root: dict = {}
    for path, value in rows:
        node = root
        for key, step in zip(path, path[1:]):
            if isinstance(node, list):
                if key == len(node):
                    node.append([] if isinstance(step, int) else {})
                node = node[key]
            else:
                child = node.get(key)
                if child is None:
                    child = node[key] = [] if isinstance(step, int) else {}
                node = child
        if isinstance(node, list):
            node.append(value)
        else:
            node[path[-1]] = value
    return root


def flatten_target(impl: str, data: dict):
    if impl == "KeyTrail(d)":
        from korvo.datastructures.keytrail import KeyTrail

        return lambda: KeyTrail(data)
    if impl == "flatten_dict.flatten":
        flatten = optional("flatten_dict").flatten
        return lambda: flatten(data, enumerate_types=(list,))
    if impl == "flatdict.FlatterDict":
        flatter = optional("flatdict").FlatterDict
        return lambda: flatter(data)
    if impl == "plain recursive generator":
        return lambda: list(plain_flatten(data))
    raise AssertionError(impl)


def rebuild_target(impl: str, data: dict):
    """Rebuilding from what the same implementation flattened; checked
    against the source where the peer gives back the same structure."""
    if impl == "KeyTrail.reconstruct":
        from korvo.datastructures.keytrail import KeyTrail

        rows = KeyTrail(data)
        assert rows.reconstruct() == data
        return rows.reconstruct
    if impl == "flatten_dict.unflatten":
        module = optional("flatten_dict")
        flat = module.flatten(data, enumerate_types=(list,))
        # Gives back list positions as dict keys: it cannot rebuild lists.
        return lambda: module.unflatten(flat)
    if impl == "flatdict.FlatterDict.as_dict":
        flat = optional("flatdict").FlatterDict(data)
        assert flat.as_dict() == data
        return flat.as_dict
    if impl == "plain rebuild loop":
        rows = list(plain_flatten(data))
        assert plain_rebuild(rows) == data
        return lambda: plain_rebuild(rows)
    raise AssertionError(impl)


_data: dict = {}


def data_of(n: int) -> dict:
    if n not in _data:
        _data[n] = nested(n)
    return _data[n]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(korvo=["KeyTrail(d)"],
                                       peers=["flatten_dict.flatten", "flatdict.FlatterDict"],
                                       limits=["plain recursive generator"]))
def bench_flatten(benchmark, impl, size):
    run(benchmark, workload="flatten a nested dict/list into rows", size=size, unit="leaves",
        impl=impl, target=flatten_target(impl[1], data_of(size)))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(korvo=["KeyTrail.reconstruct"],
                                       peers=["flatten_dict.unflatten",
                                              "flatdict.FlatterDict.as_dict"],
                                       limits=["plain rebuild loop"]))
def bench_rebuild(benchmark, impl, size):
    run(benchmark, workload="rebuild the nested dict/list from rows", size=size, unit="leaves",
        impl=impl, target=rebuild_target(impl[1], data_of(size)))
