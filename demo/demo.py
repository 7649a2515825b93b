"""Walk through the korvo.datastructures modules that are installed.

Run it with ``scripts/demo.sh``: it builds and installs the package first.
Each section shows one module and is skipped when that module is not built.
"""

from __future__ import annotations

import importlib.util


def available(module: str) -> bool:
    """True when ``korvo.datastructures.<module>`` is importable."""
    return importlib.util.find_spec(f"korvo.datastructures.{module}") is not None


def section(title: str) -> None:
    print(f"\n=== {title} " + "=" * max(0, 60 - len(title)))


def demo_fieldbag() -> None:
    """Dicts whose keys read as attributes, flat and nested."""
    from korvo.datastructures.fieldbag import FieldBag, NestedFieldBag

    section("fieldbag")
    bag = FieldBag({"a": 1}, b=2)
    print("FieldBag({'a': 1}, b=2)")
    print("  bag['a']      ->", bag["a"])
    print("  bag.b         ->", bag.b)
    print("  repr          ->", repr(bag))

    nested = NestedFieldBag({"a": {"b": 1}})
    print("NestedFieldBag({'a': {'b': 1}})")
    print("  bag['a.b']    ->", nested["a.b"])
    print("  bag.a.b       ->", nested.a.b)
    nested["x.y.z"] = 3
    print("  after bag['x.y.z'] = 3:")
    print("  bag.x.y.z     ->", nested.x.y.z)
    nested.update({"a": {"c": 2}})
    print("  after bag.update({'a': {'c': 2}}):")
    print("  bag['a.b'], bag['a.c'] ->", nested["a.b"], nested["a.c"])
    print("  repr          ->", repr(nested))


def demo_configuration() -> None:
    """Configuration store."""


def demo_keytrail() -> None:
    """Path flattening."""


def demo_shadeseq() -> None:
    """Weak-reference list."""


def demo_logic() -> None:
    """Logic expressions."""


def demo_sprig() -> None:
    """Tree printing."""


def demo_typewide() -> None:
    """Class-level properties."""


SECTIONS = {
    "fieldbag": demo_fieldbag,
    "configuration": demo_configuration,
    "keytrail": demo_keytrail,
    "shadeseq": demo_shadeseq,
    "logic": demo_logic,
    "sprig": demo_sprig,
    "typewide": demo_typewide,
}


def main() -> None:
    missing = []
    for module, show in SECTIONS.items():
        if available(module):
            show()
        else:
            missing.append(module)
    if missing:
        print("\n(not built yet: " + ", ".join(missing) + ")")


if __name__ == "__main__":
    main()
