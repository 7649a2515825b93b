"""Tree drawing: a wide tree of n nodes (node i the child of node (i - 1) // 3,
so 100 000 nodes are 10 levels deep), and a chain as deep as the
interpreter allows (at its default recursion limit, less a little headroom
for the harness) and a tenth of that.

The trees come from bench_sprig.py, the stand-alone drawing comparison.
"""

from __future__ import annotations

import functools

import pytest

from conftest import built, cases, optional, run

pytestmark = pytest.mark.skipif(not built("korvo.datastructures.sprig"),
                                reason="korvo.datastructures.sprig is not built")

WIDE_SIZES = (10_000, 100_000)
CASES = cases(korvo=["Sprig"], peers=["anytree RenderTree", "treelib show"],
              limits=["joining the known lines"])


def shapes():
    import bench_sprig

    return bench_sprig


# The harness calls the drawing a few native frames deeper than the search
# for the deepest chain runs: that many levels are kept free.
HEADROOM = 50


@functools.cache
def deepest() -> int:
    """Nodes in the deepest chain that Sprig draws, less the headroom."""
    from korvo.datastructures.sprig import Sprig

    return shapes().deepest_chain(Sprig) + 1 - HEADROOM


def edges_of(sprig_root) -> list[tuple[int, int | None]]:
    """(node, parent) pairs in drawing order, read off a Sprig tree."""
    out, stack = [], [(sprig_root, None)]
    while stack:
        node, parent = stack.pop()
        out.append((node, parent))
        stack.extend((child, node) for child in reversed(node.children))
    return out


def target_for(impl: str, root):
    """`root` is the Sprig tree; peers get the same shape in their own nodes."""
    if impl == "Sprig":
        text = str(root)
        return (lambda: str(root)), text.count("\n") + 1
    edges = edges_of(root)
    if impl == "anytree RenderTree":
        anytree = optional("anytree")
        nodes = {}
        for node, parent in edges:
            nodes[id(node)] = anytree.Node(node.name, parent=nodes.get(id(parent)))
        top, style = nodes[id(root)], anytree.AsciiStyle()

        def draw():
            return "\n".join(f"{pre}{node.name}"
                             for pre, _, node in anytree.RenderTree(top, style=style))
    elif impl == "treelib show":
        tree = optional("treelib").Tree()
        for node, parent in edges:
            tree.create_node(node.name, id(node), parent=None if parent is None else id(parent))

        def draw():
            return tree.show(stdout=False, sorting=False, line_type="ascii")
    elif impl == "joining the known lines":
        lines = str(root).split("\n")

        def draw():
            return "\n".join(lines)
    else:
        raise AssertionError(impl)
    try:
        text = draw()
    except RecursionError:
        pytest.skip(f"{impl} raises RecursionError at this depth")
    return draw, text.rstrip("\n").count("\n") + 1


@pytest.mark.parametrize("size", WIDE_SIZES)
@pytest.mark.parametrize("impl", CASES)
def bench_draw_tree(benchmark, impl, size):
    from korvo.datastructures.sprig import Sprig

    draw, lines = target_for(impl[1], shapes().wide(Sprig, size))
    assert lines == size
    run(benchmark, workload="draw a tree, depth 10 at 100 000 nodes", size=size, unit="nodes",
        impl=impl, target=draw)


@pytest.mark.parametrize("depth", ["tenth", "deepest"])
@pytest.mark.parametrize("impl", CASES)
def bench_draw_chain(benchmark, impl, depth):
    from korvo.datastructures.sprig import Sprig

    size = deepest() if depth == "deepest" else deepest() // 10
    draw, lines = target_for(impl[1], shapes().chain(Sprig, size - 1))
    assert lines == size
    run(benchmark, workload="draw a chain (the deepest Sprig draws, and a tenth)", size=size,
        unit="nodes", impl=impl, target=draw)
