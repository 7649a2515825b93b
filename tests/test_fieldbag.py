import subprocess
import sys
import textwrap
from collections.abc import Mapping, MutableMapping

import pytest

from korvo.datastructures import fieldbag
from korvo.datastructures.fieldbag import FieldBag, NestedFieldBag


def run_isolated(code):
    """Runs code in a fresh interpreter; returns (returncode, stdout)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


class TestModule:
    def test_contents_in_order(self):
        names = [n for n in vars(fieldbag) if not n.startswith("__")]
        assert names == ["itertools", "Mapping", "MutableMapping", "FieldBag", "NestedFieldBag"]
        assert fieldbag.Mapping is Mapping and fieldbag.MutableMapping is MutableMapping
        assert "attribute" in fieldbag.__doc__

    def test_class_shapes(self):
        assert FieldBag.__bases__ == (dict,) and type(FieldBag) is type
        assert NestedFieldBag.__bases__ == (FieldBag, MutableMapping)
        assert NestedFieldBag.__mro__[:4] == (NestedFieldBag, FieldBag, dict, MutableMapping)
        assert type(NestedFieldBag).__name__ == "ABCMeta"
        for cls in (FieldBag, NestedFieldBag):
            assert cls.__module__ == "korvo.datastructures.fieldbag"
            assert cls.__qualname__ == cls.__name__
        assert [n for n in vars(FieldBag) if not n.startswith("__") or n in ("__init__", "__repr__")] == ["__init__", "__repr__"]
        own = [n for n in vars(NestedFieldBag) if n not in ("__module__", "__doc__", "__abstractmethods__", "_abc_impl")]
        assert own == ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__",
                       "get", "pop", "setdefault", "update"]
        assert NestedFieldBag.get is MutableMapping.get
        assert NestedFieldBag.pop is MutableMapping.pop
        assert NestedFieldBag.setdefault is MutableMapping.setdefault
        assert FieldBag.__init__.__qualname__ == "FieldBag.__init__"
        assert NestedFieldBag.update.__qualname__ == "NestedFieldBag.update"
        assert NestedFieldBag.__doc__ is None and "attributes" in FieldBag.__doc__
        assert "__dict__" in FieldBag.__init__.__doc__ and FieldBag.__repr__.__doc__ is None


class TestFieldBag:
    def test_entries_are_attributes(self):
        bag = FieldBag({"a": 1}, b=2)
        assert bag.a == 1 and bag.b == 2 and bag.__dict__ is bag and vars(bag) is bag
        bag.x = 5
        assert bag["x"] == 5
        del bag.x
        assert "x" not in bag
        with pytest.raises(AttributeError):
            bag.x
        with pytest.raises(AttributeError):
            del bag.x

    def test_entries_shadow_methods_but_not_data_descriptors(self):
        bag = FieldBag(keys=3, __class__=4)
        assert bag.keys == 3 and list(dict.keys(bag)) == ["keys", "__class__"]
        assert bag.__class__ is FieldBag
        bag.update = 1
        with pytest.raises(TypeError, match="not callable"):
            bag.update({})
        assert getattr(FieldBag({"my-key": 1}), "my-key") == 1

    def test_repr(self):
        assert repr(FieldBag()) == "FieldBag({})"
        assert repr(FieldBag(a=1)) == "FieldBag({'a': 1})"

        class Sub(FieldBag):
            pass

        sub = Sub(a=1)
        assert repr(sub) == "Sub({'a': 1})" and sub.__dict__ is sub
        assert repr(NestedFieldBag(a={"b": 1})) == "NestedFieldBag({'a': NestedFieldBag({'b': 1})})"

    def test_repr_follows_rebound_global(self, monkeypatch):
        class Other(dict):
            def __repr__(self):
                return "other"

        class Both(FieldBag, Other):
            pass

        assert repr(Both()) == "Both(other)"
        monkeypatch.setattr(fieldbag, "FieldBag", Other)
        assert repr(Both()) == "Both({})"

    def test_constructor_errors_are_dicts(self):
        with pytest.raises(TypeError):
            FieldBag(1)
        with pytest.raises(TypeError):
            FieldBag({}, {})
        assert FieldBag([("a", 1)]) == FieldBag(a=1) == {"a": 1}
        assert FieldBag(self=1) == {"self": 1}

    def test_cycle_collected(self):
        import gc
        import weakref

        bag = FieldBag(a=1)
        ref = weakref.ref(bag)
        del bag
        gc.collect()
        assert ref() is None


class TestDottedKeys:
    def test_nested_construction(self):
        for bag in (NestedFieldBag({"a": {"b": 1}}), NestedFieldBag(a={"b": 1})):
            assert bag["a.b"] == 1 and bag.a.b == 1 and type(bag["a"]) is NestedFieldBag
        assert list(NestedFieldBag({"a.b": 1})) == ["a"]

    def test_write_creates_levels(self):
        bag = NestedFieldBag()
        bag["x.y.z"] = 1
        assert "x.y" in bag and "x.y.z" in bag
        assert "x.q" not in bag and "q.y" not in bag
        assert bag == {"x": {"y": {"z": 1}}}

    def test_write_over_value(self):
        bag = NestedFieldBag(a=5)
        with pytest.raises(KeyError) as info:
            bag["a.b"] = 1
        assert info.value.args == ('target key "a" is a value, cannot update value against another NestedFieldBag',)
        with pytest.raises(TypeError):
            bag["a.b"]
        bag["p"] = {"b": 1}
        assert type(bag["p"]) is dict and bag["p.b"] == 1
        with pytest.raises(KeyError, match="target key"):
            bag["p.c"] = 2
        with pytest.raises(AttributeError):
            bag.p.b

    def test_odd_splits(self):
        bag = NestedFieldBag()
        bag[".a"] = 1
        bag["b."] = 2
        assert bag == {"": {"a": 1}, "b": {"": 2}}
        bag["s"] = "xyz"
        assert "s.y" in bag and "s.q" not in bag
        bag[1] = "int key"
        assert bag[1] == "int key"

    def test_str_subclass_keys(self):
        class Key(str):
            pass

        bag = NestedFieldBag()
        bag[Key("a.b")] = 1
        assert bag["a.b"] == 1 and Key("a.b") in bag

    def test_missing_keys(self):
        bag = NestedFieldBag(a={"b": 1})
        with pytest.raises(KeyError) as info:
            bag["nope.x"]
        assert info.value.args == ("nope",)
        with pytest.raises(KeyError):
            del bag["nope.x"]
        with pytest.raises(KeyError) as info:
            bag["nope"]
        assert info.value.args == ("nope",)

    def test_mapping_methods_use_dotted_keys(self):
        bag = NestedFieldBag(a={"b": 1, "c": 2})
        assert bag.get("a.zz") is None and bag.get("a.b") == 1
        assert bag.pop("a.b") == 1 and bag == {"a": {"c": 2}}
        with pytest.raises(KeyError) as info:
            bag.pop("nope")
        assert info.value.args == ("nope",)
        assert bag.pop("nope", 7) == 7
        assert bag.setdefault("p.q", 0) == 0 and bag.p.q == 0
        del bag["a.c"]
        assert bag["a"] == {} and type(bag.a) is NestedFieldBag
        copy = bag.copy()
        assert type(copy) is dict and copy["p"] is bag["p"]


class TestUpdate:
    def test_merges_level_by_level(self):
        bag = NestedFieldBag()
        bag.update({"a": {"b": 1}})
        bag.update({"a": {"c": 2}})
        assert bag == {"a": {"b": 1, "c": 2}}
        bag.update({"a": 3})
        assert bag == {"a": 3}

    def test_mapping_over_other_value_uses_its_own_update(self):
        import types

        seen = []
        plain = {"x": {"y": 1}}
        other = types.SimpleNamespace(update=seen.append)
        bag = NestedFieldBag()
        dict.update(bag, plain=plain, other=other)
        bag.update(plain={"x": {"z": 2}}, other={"k": 1})
        assert bag.plain is plain and plain == {"x": {"z": 2}} and seen == [{"k": 1}]

    def test_levels_are_copies_leaves_shared(self):
        leaf = [1]
        source = {"x": leaf}
        bag = NestedFieldBag(a=source)
        source["y"] = 2
        assert "y" not in bag.a and bag.a.x is leaf

    def test_pairs_and_errors(self):
        bag = NestedFieldBag()
        bag.update([("k", 1), "xy", ("m", 2)])
        assert bag == {"k": 1, "x": "y", "m": 2}
        bag = NestedFieldBag()
        with pytest.raises(TypeError, match=r"^cannot convert dictionary update sequence element #1 to a sequence$"):
            bag.update([("k", 1), (1, 2, 3)])
        assert bag == {"k": 1}
        with pytest.raises(TypeError, match=r"element #2 "):
            bag.update(p for p in [("a", 1), ("b", 2), (1, 2, 3)])
        with pytest.raises(TypeError, match=r"^expected at most 1 arguments, got 2$"):
            bag.update({}, {})
        with pytest.raises(TypeError):
            bag.update(None)
        with pytest.raises(TypeError, match="has no len"):
            bag.update([1])
        with pytest.raises(AttributeError):
            NestedFieldBag([("a", 5), ("a", {"b": 1})])

    def test_follows_rebound_module_globals(self, monkeypatch):
        import itertools

        calls = []
        chain = itertools.chain
        monkeypatch.setattr(itertools, "chain", lambda *a: calls.append(len(a)) or chain(*a))
        bag = NestedFieldBag()
        bag["a.b"] = 1
        assert calls == [2, 2]  # every update walks the chain, an empty one too
        monkeypatch.setattr(fieldbag, "Mapping", tuple)
        with pytest.raises(AttributeError, match="'tuple' object has no attribute 'items'"):
            NestedFieldBag()
        monkeypatch.delattr(fieldbag, "Mapping")
        with pytest.raises(NameError):
            NestedFieldBag()

    def test_keywords_after_iterable_and_self_is_a_key(self):
        bag = NestedFieldBag([("a", 1)], a=2, self=3)
        assert bag == {"a": 2, "self": 3}
        bag.update(self=4)
        assert bag["self"] == 4

    def test_entries_named_like_methods_do_not_break_merging(self):
        bag = NestedFieldBag([("setdefault", 1), ("update", 2), ("a", {"b": 1})])
        NestedFieldBag.update(bag, {"a": {"c": 2}})
        bag["x.y"] = 3
        assert bag["a.c"] == 2 and bag["x.y"] == 3 and bag.update == 2
        with pytest.raises(TypeError, match="not callable"):
            bag.update({})

    def test_subclass_sees_every_write(self):
        seen = []

        class Spy(NestedFieldBag):
            def __setitem__(self, key, value):
                seen.append(key)
                super().__setitem__(key, value)

        bag = Spy({"a": {"b": 1}, "c.d": 2})
        bag.setdefault("e", 3)
        assert seen == ["a", "b", "c.d", "c", "d", "e"]
        assert type(bag.a) is Spy and type(bag.c) is Spy

    def test_items_that_mutate_the_bag(self):
        bag = NestedFieldBag(a=1)

        class Evil(Mapping):
            def __getitem__(self, k):
                return 1

            def __len__(self):
                return 1

            def __iter__(self):
                return iter(["k"])

            def items(self):
                bag.clear()
                return [("k", {"deep": 1}), ("z", 2)]

        bag.update(Evil())
        assert bag == {"k": {"deep": 1}, "z": 2}

    def test_raising_eq_and_hash_propagate(self):
        class BadHash:
            def __hash__(self):
                raise ValueError("no hash")

        bag = NestedFieldBag()
        with pytest.raises(ValueError, match="no hash"):
            bag.update([(BadHash(), 1)])
        with pytest.raises(ValueError, match="no hash"):
            bag[BadHash()] = 1
        assert bag == {}


class TestDeepNesting:
    def test_deep_structures_do_not_crash(self):
        rc, out = run_isolated("""
            import sys
            from korvo.datastructures.fieldbag import NestedFieldBag
            d = cur = {}
            for _ in range(100000):
                cur["a"] = {}
                cur = cur["a"]
            key = ".".join(["a"] * 100000)
            for limit in (1000, 1000000):
                sys.setrecursionlimit(limit)
                for op in (lambda: NestedFieldBag(d), lambda: NestedFieldBag().__setitem__(key, 1),
                           lambda: NestedFieldBag()[key], lambda: key in NestedFieldBag(),
                           lambda: NestedFieldBag().__delitem__(key)):
                    try:
                        op()
                    except (RecursionError, KeyError):
                        pass
            print("survived")
        """)
        assert rc == 0 and "survived" in out, out


class TestCopyAndPickle:
    @pytest.mark.parametrize("cls", [FieldBag, NestedFieldBag])
    def test_round_trips_keep_attribute_access(self, cls):
        import copy
        import pickle

        bag = cls({"a": {"b": [1]}, "c": 2})
        copies = [pickle.loads(pickle.dumps(bag, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
        copies += [copy.copy(bag), copy.deepcopy(bag)]
        for other in copies:
            assert other == bag and type(other) is cls
            assert other.__dict__ is other and other.c == 2
        assert copy.copy(bag).a is bag.a
        deep = copy.deepcopy(bag)
        assert deep.a == bag.a and deep.a is not bag.a
        if cls is NestedFieldBag:
            assert type(deep.a) is NestedFieldBag and deep.a.b == [1]


class TestShortcutsStayFaithful:
    def test_mixins_and_overrides_between_levels_are_honoured(self):
        seen = []

        class Reading(dict):
            def __getitem__(self, key):
                seen.append(("get", key))
                return super().__getitem__(key)

        class Bag(NestedFieldBag, Reading):
            pass

        bag = Bag()
        bag["a.b"] = 1
        bag["a.c"] = 2
        assert bag["a.b"] == 1 and "a.c" in bag
        assert ("get", "a") in seen and ("get", "b") in seen

        made = []

        class Counting(NestedFieldBag):
            def __init__(self, *args, **kwargs):
                made.append(1)
                super().__init__(*args, **kwargs)

        bag = Counting()
        made.clear()
        bag["x.y"] = 1
        bag["x.z"] = 2
        assert len(made) == 2  # a new level is built on every dotted write
