"""Class-level property: n reads through the class and through an instance."""

from __future__ import annotations

import pytest

from conftest import cases, compile_body, needs, run

pytestmark = needs("korvo.datastructures.typewide")

SIZES = (100, 1000)


class classproperty:
    """The plain-Python class-property descriptor."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


def owner(impl: str):
    """A class whose attribute `value` is computed by `impl` (returning 100)."""
    if impl == "typewide":
        from korvo.datastructures.typewide import typewide

        class Owner:
            @typewide
            def value(cls):
                return 100
    elif impl == "plain-Python class property":
        class Owner:
            @classproperty
            def value(cls):
                return 100
    elif impl == "property on an instance":
        class Owner:
            @property
            def value(self):
                return 100
    elif impl == "class attribute":
        class Owner:
            value = 100
    else:
        raise AssertionError(impl)
    return Owner


def reads(target: object, n: int):
    fn = compile_body("read", "o", ["r = o.value"] * n + ["return r"], {})
    assert fn(target) == 100
    return lambda: fn(target)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(
    korvo=["typewide"], peers=["plain-Python class property", "property on an instance"],
    limits=["class attribute"]))
def bench_class_read(benchmark, impl, size):
    cls = owner(impl[1])
    # A property cannot be read through its class: its row reads an instance.
    target = cls() if impl[1] == "property on an instance" else cls
    run(benchmark, workload="class-level property: read through the class", size=size,
        unit="reads", impl=impl, target=reads(target, size))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(
    korvo=["typewide"], peers=["plain-Python class property", "property on an instance"],
    limits=["class attribute"]))
def bench_instance_read(benchmark, impl, size):
    run(benchmark, workload="class-level property: read through an instance", size=size,
        unit="reads", impl=impl, target=reads(owner(impl[1])(), size))
