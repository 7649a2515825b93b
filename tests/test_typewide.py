"""typewide: read-only computed attributes evaluated with the class."""
import pytest

from korvo.datastructures.typewide import TypewideDescriptor, typewide


def make_classes(calls):
    class Base:
        @typewide
        def label(cls):
            calls.append(cls)
            return cls.__name__

    class Derived(Base):
        pass

    return Base, Derived


class TestTypewide:
    def test_reads_call_func_with_the_owner_every_time(self):
        calls = []
        Base, Derived = make_classes(calls)
        assert (Base.label, Base().label, Derived.label, Derived().label) == (
            "Base", "Base", "Derived", "Derived")
        assert calls == [Base, Base, Derived, Derived]
        descriptor = Base.__dict__["label"]
        assert typewide is TypewideDescriptor and isinstance(descriptor, TypewideDescriptor)
        descriptor.func = lambda cls: 100
        assert Derived.label == 100 and descriptor.__get__(obj=Base(), owner=Derived) == 100
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'owner'"):
            descriptor.__get__(None)
        descriptor.func = lambda cls: 1 / 0
        with pytest.raises(ZeroDivisionError):
            Base().label

    def test_assignment_shadows_without_reaching_func(self):
        Base, Derived = make_classes([])
        instance, other = Base(), Base()
        instance.label = 5
        Derived.label = 6
        assert (instance.label, other.label, Base.label, Derived.label) == (5, "Base", "Base", 6)
