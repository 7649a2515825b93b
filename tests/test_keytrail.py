import copy
import subprocess
import sys
import textwrap
import types
from collections.abc import MutableMapping

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvo.datastructures import keytrail
from korvo.datastructures.keytrail import DictItem, IndexMarker, KeyTrail

BAD_ROW = "KeyTrail only accepts a tuple of path/obj"


class L(list):
    pass


class T(tuple):
    pass


def at(i, kind=list):
    return IndexMarker(kind(), i)


def shown(rows):
    """Rows with markers replaced by their repr."""
    return [(tuple(repr(k) if isinstance(k, IndexMarker) else k for k in p), v) for p, v in rows]


def rebuild(*rows):
    kt = KeyTrail()
    kt.extend(rows)
    return kt.reconstruct()


def same_shape(a, b):
    """Equal, and lists/tuples of the same exact types at every level."""
    if isinstance(b, dict) and b:
        assert type(a) is dict and list(a) == list(b)
        for k in b:
            same_shape(a[k], b[k])
    elif isinstance(b, (list, tuple)) and b:
        assert type(a) is type(b) and len(a) == len(b)
        for x, y in zip(a, b):
            same_shape(x, y)
    else:
        assert type(a) is type(b) and a == b


def straightforward(rows):
    """The rebuild algorithm written plainly, for rows without tuple steps."""
    ret = {}
    for path, obj in rows:
        ptr = ret
        for k in path:
            if isinstance(k, IndexMarker):
                if k.type_ is not type(ptr):
                    prev_ptr[prev_k] = k.type_(({},))
                else:
                    try:
                        ptr[k.index]
                    except IndexError:
                        ptr += k.type_(({},))
                prev_ptr, prev_k = prev_ptr[prev_k], -1
                ptr = prev_ptr[prev_k]
            else:
                if isinstance(ptr, MutableMapping):
                    ptr[k] = ptr.get(k, {})
                else:
                    ptr += type(ptr)(({k: {}},))
                    ptr = ptr[-1]
                prev_ptr, prev_k = ptr, k
                ptr = ptr[k]
        prev_ptr[prev_k] = obj
    return ret


def test_module_contents_and_markers():
    names = [n for n in vars(keytrail) if not n.startswith("__")]
    assert names == ["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "KeyTrail"]
    assert DictItem._fields == ("path", "value") and DictItem.__module__ == keytrail.__name__
    assert [n for n in vars(KeyTrail) if n[:2] != "__" or n in ("__init__", "__flatten__",
            "__setitem__")] == ["__init__", "__flatten__", "__setitem__", "append", "insert",
                                "extend", "reconstruct"]
    m = IndexMarker([], 3)
    assert (m.type_, m.index, repr(m), vars(m)) == (list, 3, "list[3]", {"type_": list, "index": 3})
    assert repr(IndexMarker(T(), "4")) == "T[4]" and IndexMarker([], 3) != m


class TestFlatten:
    def test_rows_depth_first(self):
        kt = KeyTrail({"a": {"b": 1, "c": [2, {"d": 3}]}, "e": {}, "f": "xyz", "g": (), "h": []})
        assert all(type(r) is DictItem for r in kt)
        assert shown(kt) == [(("a", "b"), 1), (("a", "c", "list[0]"), 2),
                             (("a", "c", "list[1]", "d"), 3), (("e",), {}), (("f",), "xyz"),
                             (("g",), ()), (("h",), [])]
        nested = KeyTrail({"a": [[1], (2, 3)]})
        assert shown(nested) == [(("a", "list[0]", "list[0]"), 1), (("a", "list[1]", "tuple[0]"), 2),
                                 (("a", "list[1]", "tuple[1]"), 3)]
        assert nested[1].path[1] is nested[2].path[1]  # one marker per container element
        assert KeyTrail({"a": {"b": 1}}) == KeyTrail({"a": {"b": 1}}) != KeyTrail({"a": [1]})

    def test_generator_is_lazy(self):
        assert list(KeyTrail.__flatten__({"k": 1}, ("p",))) == [(("p", "k"), 1)]
        assert list(KeyTrail.__flatten__(5)) == [5]
        assert shown(KeyTrail().__flatten__([7])) == [(("list[0]",), 7)]
        for bad_path in (5, ["p"]):
            gen = KeyTrail.__flatten__({"a": 1}, bad_path)  # nothing runs yet
            with pytest.raises(TypeError):
                next(gen)

    def test_sequence_test_is_isinstance(self):
        class Posing:  # reports list as its class, as mocks modelled on a list do
            __class__ = property(lambda self: list)

            def __iter__(self):
                return iter("xy")

        assert shown(KeyTrail({"a": Posing()})) == [(("a", "Posing[0]"), "x"),
                                                     (("a", "Posing[1]"), "y")]
        assert shown(KeyTrail.__flatten__(Posing())) == [(("Posing[0]",), "x"), (("Posing[1]",), "y")]

    def test_read_only_mapping_is_rows_or_leaf(self):
        proxy = types.MappingProxyType({"a": 1})
        with pytest.raises(ValueError, match=BAD_ROW):
            KeyTrail(proxy)
        assert KeyTrail({"x": proxy}) == [(("x",), proxy)]

    @pytest.mark.parametrize("mutate", [lambda d: d.update(z=0), lambda d: d["a"].update(z=0)])
    def test_source_changed_while_suspended(self, mutate):
        d = {"a": {"x": 1, "y": 2}, "b": 3}
        gen = KeyTrail.__flatten__(d)
        next(gen)
        mutate(d)
        with pytest.raises(RuntimeError, match="changed size"):
            list(gen)

    def test_nested_levels_use_the_module_global(self, monkeypatch):
        seen = []

        class Replacement(KeyTrail):
            @staticmethod
            def __flatten__(indict, path=None):
                seen.append(path)
                yield DictItem(path, "replaced")

        assert Replacement({"a": 1}) == [(("a",), 1)]  # the constructor ignores overrides too
        original = KeyTrail.__flatten__
        monkeypatch.setattr(keytrail, "KeyTrail", Replacement)
        assert list(original({"a": {"b": 1}, "c": 2}, ("p",))) == [(("p", "a"), "replaced"),
                                                                   (("p", "c"), 2)]
        assert seen == [("p", "a")]


class Interrupting:
    def __iter__(self):
        raise KeyboardInterrupt


class TestRowEditing:
    def test_accepted_forms(self):
        kt = KeyTrail([(("a",), 1), [("b",), 2]])
        kt.append([("x",), 1])
        kt.insert(0, (("y",), 2))
        kt.extend([[("z",), 3]])
        kt[1] = [("w",), 4]
        kt.append("ab")
        assert [type(r) for r in kt] == [DictItem, tuple, list, DictItem, DictItem, DictItem]
        kt[0:1] = (("s",), 5)  # a slice receives the two elements
        assert kt[:2] == [("s",), 5]

    @pytest.mark.parametrize("call", [
        lambda kt: kt.append(5), lambda kt: kt.append((1, 2, 3)), lambda kt: kt.insert(0, "abc"),
        lambda kt: kt.extend([(("a",), 1), 7]), lambda kt: kt.extend(5),
        lambda kt: kt.__setitem__(0, (1,)), lambda kt: KeyTrail([(("a",), 1), 5]),
    ])
    def test_rejected_rows_change_nothing(self, call):
        kt = KeyTrail([(("k",), 0)])
        with pytest.raises(ValueError, match=BAD_ROW) as info:
            call(kt)
        assert isinstance(info.value.__context__, (TypeError, ValueError))
        assert kt == [(("k",), 0)]

    def test_interrupts_pass_unchanged(self):
        kt = KeyTrail()
        for call in (kt.append, kt.extend, KeyTrail, lambda x: kt.insert(0, x)):
            with pytest.raises(KeyboardInterrupt):
                call(Interrupting())

    def test_one_shot_iterators_keep_their_rows(self):
        kt = KeyTrail(iter([(("a",), 1)]))
        kt.extend(iter([(("b",), 2)]))
        kt[0] = iter([("c",), 3])
        assert kt == [(("c",), 3), (("b",), 2)] and type(kt[0]) is tuple

    def test_copies_rebuild_through_append(self):
        kt = KeyTrail([(("b",), 2)])
        assert [type(r) for r in copy.copy(kt)] == [type(r) for r in copy.deepcopy(kt)] == [DictItem]
        kt += [(1, 2, 3)]
        with pytest.raises(ValueError, match=BAD_ROW):
            copy.copy(kt)
        with pytest.raises(ValueError, match="too many values"):
            kt.reconstruct()


class TestReconstruct:
    @pytest.mark.parametrize("d", [
        {}, {"a": {"b": [1, {"c": 2}], "d": (3, 4)}, "e": {}}, {"a": [[1, 2], [3]]}, {"a": (5,)},
        {"a": ({"b": 1}, {"c": 2})}, {"a": ([1],)}, {"a": ({}, 1, 2)}, {"a": ((1, 2), ([3],))},
        {"a": [(), ({},)]}, {"a": L([T((1, {"x": T((2,))}))])},
    ])
    def test_round_trip_examples(self, d):
        kt = KeyTrail(d)
        same_shape(kt.reconstruct(), d)
        assert kt.reconstruct() is not kt.reconstruct()

    @settings(max_examples=300, deadline=None)
    @given(st.dictionaries(st.text(max_size=2) | st.integers(-2, 2), st.recursive(
        st.integers() | st.text(max_size=2) | st.builds(dict) | st.builds(list) | st.builds(tuple),
        lambda inner: st.one_of(
            st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
            st.lists(inner, max_size=3).map(L), st.lists(inner, max_size=3).map(T),
            st.dictionaries(st.text(max_size=2), inner, max_size=4)),
        max_leaves=25), max_size=4))
    def test_round_trip_property(self, d):
        same_shape(KeyTrail(d).reconstruct(), d)

    def test_later_rows_act_on_earlier_ones(self):
        assert rebuild((("a",), 1), (("a",), 2)) == rebuild((("a", "b"), 1), (("a",), 2)) == {"a": 2}
        assert rebuild((("a", at(0)), 1), (("a", "b"), 2)) == {"a": [1, {"b": 2}]}
        assert rebuild((("a", at(0)), 1), (("a", at(0, tuple)), 2)) == {"a": (2,)}
        assert rebuild((("a", at(1)), "y"), (("a", at(0)), "x")) == {"a": ["x"]}
        assert rebuild((("a", at(1, tuple)), "y"), (("a", at(0, tuple)), "x")) == {"a": ("y", "x")}
        assert rebuild((("a", at(0, tuple)), 1), (("a", "b"), 2)) == {"a": (1, {"b": 2})}
        leaf = {}
        assert rebuild((("a",), leaf), (("a", "b"), 1))["a"] is leaf == {"b": 1}
        assert rebuild(("ab", 1)) == {"a": {"b": 1}}
        with pytest.raises(TypeError):
            rebuild((("a",), 1), (("a", "b"), 2))

    @pytest.mark.parametrize("rows", [[((), 1)], [(("a",), 1), ((), 2)], [((at(0),), 1)],
                                      [(("a",), 1), ((at(0, tuple), "b"), 2)]])
    def test_rows_without_leading_key_are_refused(self, rows):
        kt = KeyTrail(rows)
        with pytest.raises(ValueError, match="empty|starts with an IndexMarker"):
            kt.reconstruct()
        assert kt == rows

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.tuples(
        st.lists(st.sampled_from("ab") | st.integers(0, 2), max_size=3),
        st.integers() | st.sampled_from(["list", "dict"])), max_size=6))
    def test_agrees_with_plain_algorithm_without_tuples(self, layout):
        def rows():  # fresh leaf containers each time: rebuilding may fill them
            return [(("a",) + tuple(at(s) if isinstance(s, int) else s for s in steps),
                     [] if v == "list" else {} if v == "dict" else v) for steps, v in layout]

        try:
            expected = straightforward(rows())
        except Exception as e:
            with pytest.raises(type(e)):
                KeyTrail(rows()).reconstruct()
        else:
            same_shape(KeyTrail(rows()).reconstruct(), expected)

    def test_globals_are_looked_up_when_used(self, monkeypatch):
        kt = KeyTrail([(("a", at(0)), 1)])
        monkeypatch.delattr(keytrail, "MutableMapping")
        assert KeyTrail().reconstruct() == {}
        with pytest.raises(NameError, match="MutableMapping"):
            kt.reconstruct()
        monkeypatch.undo()
        monkeypatch.setattr(keytrail, "IndexMarker", type("Other", (), {}))
        assert kt.reconstruct() == {"a": {kt[0][0][1]: 1}}  # no longer a marker: a key

    def test_failing_key_hash_propagates_without_leaks(self):
        class BadKey:
            def __hash__(self):
                raise ArithmeticError

        leaf = object()
        kt = KeyTrail([(("a", "b"), leaf), (("a", BadKey()), leaf)])
        before = sys.getrefcount(leaf)
        for _ in range(100):
            with pytest.raises(ArithmeticError):
                kt.reconstruct()
        assert sys.getrefcount(leaf) == before


def test_deep_nesting_never_crashes():
    code = """
        from korvo.datastructures.keytrail import KeyTrail
        for make in (lambda d: {"k": d}, lambda d: [d], lambda d: (d,)):
            d = "leaf"
            for _ in range(100000):
                d = make(d)
            try:
                r = KeyTrail({"root": d}).reconstruct()["root"]
            except RecursionError:
                print("recursion-error")
                continue
            for _ in range(100000):
                assert type(r) is type(d)
                r, d = (r["k"], d["k"]) if type(d) is dict else (r[0], d[0])
            print("ok" if r == "leaf" else "wrong")
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.split()) == 3 and set(proc.stdout.split()) <= {"ok", "recursion-error"}


def test_containers_that_hold_themselves_raise_recursion_error():
    looped = []
    looped.append(looped)
    shared = [1]
    with pytest.raises(RecursionError):
        KeyTrail({"a": looped})
    with pytest.raises(RecursionError):
        list(KeyTrail.__flatten__({"x": {"y": looped}}))
    rows = KeyTrail()
    rows.append((("a",), rows))
    with pytest.raises(RecursionError):
        KeyTrail({"k": rows})
    # The same container twice, side by side, is not a loop.
    assert KeyTrail({"a": shared, "b": shared}).reconstruct() == {"a": [1], "b": [1]}
