"""Time str() of large Sprig trees.

Compares the native drawing with two level-by-level drawings that split and
re-indent every child's text at every level: a pure-Python one, and the
native one forced through a subclass whose __str__ is a Python wrapper.

    PYTHONPATH=<build dir> python bench/bench_sprig.py
"""
import sys
import time

from korvo.datastructures.sprig import Sprig


class PySprig:
    def __init__(self, name, children=None):
        self.name, self.children = name, children or []

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        result = self.name
        if not self.children:
            return result
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            result += "\n|-- " + lines[0]
            for line in lines[1:]:
                result += "\n|   " + line
        lines = str(self.children[-1]).split("\n")
        result += "\n`-- " + lines[0]
        for line in lines[1:]:
            result += "\n    " + line
        return result


class WrappedSprig(Sprig):
    def __str__(self):
        return Sprig.__str__(self)


def wide(cls, count=100_000, fanout=3):
    """`count` nodes, node i the child of node (i - 1) // fanout: depth 10."""
    nodes = [cls("node 0")]
    for i in range(1, count):
        node = cls(f"node {i}")
        nodes[(i - 1) // fanout].add_child(node)
        nodes.append(node)
    return nodes[0]


def chain(cls, depth):
    root = node = cls("0")
    for i in range(1, depth + 1):
        child = cls(str(i))
        node.children.append(child)
        node = child
    return root


def deepest_chain(cls):
    """The deepest chain that str() of `cls` can draw."""
    low, high = 1, 1 << 20
    while low < high:
        mid = (low + high + 1) // 2
        try:
            str(chain(cls, mid))
            low = mid
        except RecursionError:
            high = mid - 1
    return low


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


VARIANTS = ((Sprig, "native"), (WrappedSprig, "native, split per level"),
            (PySprig, "pure Python, split per level"))


def compare(title, build, repeat):
    text = str(build(Sprig))
    print(f"{title}: {len(text):,} characters")
    base = None
    for cls, label in VARIANTS:
        tree = build(cls)
        try:
            if str(tree) != text:
                raise SystemExit(f"{label}: different drawing")
            t = best(lambda: str(tree), repeat)
        except RecursionError:
            print(f"  {label:30} RecursionError")
            continue
        base = base or t
        print(f"  {label:30} {t * 1000:9.2f} ms  {t / base:7.1f}x")


def main():
    print(f"Python {sys.version.split()[0]}")
    compare("100 000 nodes, depth 10", wide, repeat=5)
    # A few levels are kept for the frames of the timing code.
    for depth in sorted({deepest_chain(cls) - 10 for cls, _ in VARIANTS}, reverse=True):
        compare(f"chain of {depth + 1} nodes", lambda cls: chain(cls, depth), repeat=3)


if __name__ == "__main__":
    main()
