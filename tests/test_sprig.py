"""Sprig: construction and the tree drawing of str()."""
import doctest
import random
import subprocess
import sys
import textwrap

import pytest

from korvo.datastructures.sprig import Sprig


class PySprig:
    """The same drawing done level by level: each child's text split and re-indented."""
    def __init__(self, name, children=None):
        self.name, self.children = name, children or []

    def __str__(self):
        result = self.name
        if not self.children:
            return result
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            result += "\n|-- " + lines[0] + "".join("\n|   " + l for l in lines[1:])
        lines = str(self.children[-1]).split("\n")
        result += "\n`-- " + lines[0] + "".join("\n    " + l for l in lines[1:])
        return result


def outcome(build, cls):
    log = []
    try:
        return str(build(cls, log)), log
    except Exception as exc:
        return (type(exc), str(exc)), log


class TestLayout:
    def test_worked_example(self):
        root = Sprig("root", [Sprig("a", [Sprig("a1"), Sprig("a2")])])
        root.add_child(Sprig("b", [Sprig("b1")]))
        assert str(root) == "root\n|-- a\n|   |-- a1\n|   `-- a2\n`-- b\n    `-- b1"
        runner = doctest.DocTestRunner()
        for test in doctest.DocTestFinder().find(Sprig):
            runner.run(test)
        assert runner.summarize(verbose=False) == (0, 7)

    def test_leaves_and_multiline_texts(self):
        assert str(Sprig("x")) == str(Sprig("x", [])) == "x"
        assert str(Sprig("r", ["one\ntwo"])) == "r\n`-- one\n    two"
        assert str(Sprig("r", ["", "a\n", 3])) == "r\n|-- \n|-- a\n|   \n`-- 3"

    @pytest.mark.parametrize("seed", range(40))
    def test_same_text_as_level_by_level(self, seed):
        names = ["x", "", "a\nb", "\n", "é\n日本", "\U0001F600", "y\n\nz"]

        def build(cls, rnd, depth):
            kids = [rnd.choice(names + [7]) if rnd.random() < 0.15 else build(cls, rnd, depth + 1)
                    for _ in range(rnd.randint(0, 3) if depth < 6 else 0)]
            return cls(rnd.choice(names), kids)

        text = str(build(Sprig, random.Random(seed), 0))
        assert text == str(build(PySprig, random.Random(seed), 0)) and type(text) is str


class TestConstruction:
    def test_children_list(self):
        shared = [Sprig("a")]
        node = Sprig("r", shared)
        shared.append("b")
        assert node.children is shared and str(node) == "r\n|-- a\n`-- b"
        empty = []
        node = Sprig(name="r", children=empty)
        assert node.add_child("c") is None and node.children == ["c"] and empty == []
        with pytest.raises(AttributeError):
            Sprig("r", (Sprig("a"),)).add_child("b")
        with pytest.raises(TypeError):
            str(Sprig("r", {1}))


# Each case builds a tree with the given class, logging the calls it sees: the
# native drawing must match the level-by-level one in text, error and calls.
def loud_reads(cls, log):
    class Loud(cls):
        def __getattribute__(self, attr):
            log.append((attr, object.__getattribute__(self, "name")))
            return object.__getattribute__(self, attr)
    return Loud("r", [Loud("a", [Loud("b")]), Loud("c")])


def own_str_children(cls, log):
    class Own(cls):
        def __str__(self):
            log.append(self.name)
            return "<" + cls.__str__(self) + ">"
    return cls("r", [Own("o", [cls("x"), Own("p", ["q\nw"])]), cls("z", [Own("y")])])


def hostile_child(action):
    def build(cls, log):
        class Hostile:
            def __str__(self):
                log.append(action(root, cls))
                return "h"
        root = cls("r", [cls("a"), cls("x", [Hostile()]), cls("b", [cls("c")])])
        return root
    return build


class TestFaithfulness:
    @pytest.mark.parametrize("build", [
        lambda cls, log: cls(5),
        lambda cls, log: cls(5, [cls("a")]),
        lambda cls, log: cls("r", [cls("x"), cls(None, [cls("a")])]),
        lambda cls, log: cls("r", [cls("x", [cls(b"b")])]),
        loud_reads, own_str_children,
        hostile_child(lambda root, cls: root.children.append(cls("late"))),
        hostile_child(lambda root, cls: root.children.clear()),
        hostile_child(lambda root, cls: setattr(root, "children", [cls("new")])),
        hostile_child(lambda root, cls: 1 / 0),
    ])
    def test_matches_level_by_level(self, build):
        assert outcome(build, Sprig) == outcome(build, PySprig)
        assert Sprig(5).__str__() == 5


def test_cycles_and_deep_chains_raise_recursion_error():
    code = textwrap.dedent("""
        from korvo.datastructures.sprig import Sprig
        loop = Sprig("n"); loop.add_child(loop)
        a = Sprig("a"); b = Sprig("b", ["x", a]); a.add_child(b)
        chain = node = Sprig("0")
        for i in range(200_000):
            node.add_child(Sprig(str(i))); node = node.children[0]
        for root in (loop, a, chain):
            try:
                str(root)
            except RecursionError:
                print("RecursionError")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout.split()) == (0, ["RecursionError"] * 3), proc.stderr
