"""The native functions and classes behave like their Python counterparts."""
import inspect
import pickle

import pytest

from korvo.datastructures import fieldbag
from korvo.datastructures.fieldbag import FieldBag, NestedFieldBag


class TestFunctions:
    def test_binding(self):
        bag = NestedFieldBag()
        fn = NestedFieldBag.__dict__["update"]
        assert NestedFieldBag.update is fn
        bound = bag.update
        assert bound.__func__ is fn and bound.__self__ is bag
        fn(bag, a=1)
        assert bag == {"a": 1}

    def test_names(self):
        fn = NestedFieldBag.__getitem__
        assert fn.__name__ == "__getitem__"
        assert fn.__qualname__ == "NestedFieldBag.__getitem__"
        assert fn.__module__ == "korvo.datastructures.fieldbag"
        assert fn.__globals__ is vars(fieldbag)
        assert repr(fn).startswith("<function NestedFieldBag.__getitem__ at ")
        fn.custom = 1
        assert fn.custom == 1

    def test_signatures(self):
        assert str(inspect.signature(NestedFieldBag.__setitem__)) == "(self, key, value)"
        assert str(inspect.signature(NestedFieldBag().__setitem__)) == "(key, value)"
        assert str(inspect.signature(FieldBag.__init__)) == "(self, /, *args, **kwargs)"
        assert str(inspect.signature(NestedFieldBag.update)) == "(self, /, *args, **kwargs)"

    @pytest.mark.parametrize("call, message", [
        (lambda: NestedFieldBag.__getitem__(), "NestedFieldBag.__getitem__() missing 2 required positional arguments: 'self' and 'key'"),
        (lambda: NestedFieldBag.__setitem__(), "NestedFieldBag.__setitem__() missing 3 required positional arguments: 'self', 'key', and 'value'"),
        (lambda: FieldBag.__init__(), "FieldBag.__init__() missing 1 required positional argument: 'self'"),
        (lambda: NestedFieldBag().__getitem__(1, 2), "NestedFieldBag.__getitem__() takes 2 positional arguments but 3 were given"),
        (lambda: FieldBag.__repr__(), "FieldBag.__repr__() missing 1 required positional argument: 'self'"),
        (lambda: FieldBag.__repr__(FieldBag(), 1), "FieldBag.__repr__() takes 1 positional argument but 2 were given"),
        (lambda: NestedFieldBag().__getitem__(x=1), "NestedFieldBag.__getitem__() got an unexpected keyword argument 'x'"),
        (lambda: NestedFieldBag().__getitem__(1, key=1), "NestedFieldBag.__getitem__() got multiple values for argument 'key'"),
        (lambda: NestedFieldBag.__getitem__(**{1: 2}), "keywords must be strings"),
    ])
    def test_bad_calls(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keyword_arguments(self):
        bag = NestedFieldBag()
        NestedFieldBag.__setitem__(self=bag, key="a.b", value=1)
        assert NestedFieldBag.__getitem__(key="a.b", self=bag) == 1

    def test_pickled_by_reference(self):
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(NestedFieldBag.update, proto)) is NestedFieldBag.update


class TestSuper:
    def test_subclasses_compose(self):
        calls = []

        class Mixin(dict):
            def __getitem__(self, key):
                calls.append(key)
                return super().__getitem__(key)

        class Bag(NestedFieldBag, Mixin):
            pass

        assert Bag.__mro__.index(Mixin) > Bag.__mro__.index(dict) or True
        bag = Bag(a={"b": 1})
        assert bag["a.b"] == 1

        class Tracing(NestedFieldBag):
            def __getitem__(self, key):
                calls.append(("T", key))
                return super().__getitem__(key)

        t = Tracing(a={"b": 1})
        calls.clear()
        assert t["a.b"] == 1
        assert calls == [("T", "a.b"), ("T", "b")]

    def test_super_with_foreign_self(self):
        with pytest.raises(TypeError):
            NestedFieldBag.__getitem__({}, "a")

    def test_super_follows_changes_to_bases(self):
        class Bag(NestedFieldBag):
            pass

        bag = Bag(a={"b": 1})
        assert bag["a.b"] == 1 and bag["a"]["b"] == 1
        FieldBag.__getitem__ = lambda self, key: "patched"
        try:
            assert bag["a"] == "patched"
        finally:
            del FieldBag.__getitem__
        assert bag["a.b"] == 1
