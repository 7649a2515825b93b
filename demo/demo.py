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
    """Configuration store loaded from YAML and INI files."""
    import os
    import pathlib
    import tempfile

    from korvo.datastructures.configuration import Configuration

    section("configuration")
    os.environ.setdefault("DEMO_DATA_DIR", "/var/lib/demo")
    with tempfile.TemporaryDirectory() as tmp:
        yaml_file = pathlib.Path(tmp, "base.yaml")
        yaml_file.write_text("db:\n  host: localhost\n  port: 5432\ndebug: false\n")
        ini_file = pathlib.Path(tmp, "local.ini")
        ini_file.write_text("[DEFAULT]\nretries = 3\n\n[db]\nport = 6543\n\n"
                            "[paths]\ndata = ${DEMO_DATA_DIR}/cache\n")
        cfg = Configuration()
        cfg.load_yamls(yaml_file)
        cfg.load_cfgs(ini_file)
    print("base.yaml, then local.ini (port overridden, $DEMO_DATA_DIR expanded)")
    print("  cfg['db.host']     ->", cfg["db.host"])
    print("  cfg.db.port        ->", cfg.db.port, "(int from the INI text)")
    print("  cfg['paths.data']  ->", cfg["paths.data"])
    print("  cfg.paths.retries  ->", cfg.paths.retries, "(default copied into each section)")
    print("  cfg.debug          ->", cfg.debug)


def demo_keytrail() -> None:
    """Nested containers as flat (path, value) rows, and back."""
    from korvo.datastructures.keytrail import KeyTrail

    section("keytrail")
    nested = {"server": {"host": "localhost", "ports": [80, 443]},
              "users": ({"name": "ada"}, {"name": "bob", "admin": True}), "tags": {}}
    print("KeyTrail(", nested, ")", sep="")
    rows = KeyTrail(nested)
    for path, value in rows:
        print("  ", path, "->", repr(value))
    rows.append((("server", "timeout"), 30))
    rebuilt = rows.reconstruct()
    print("after rows.append((('server', 'timeout'), 30)), reconstruct():")
    print("  ", rebuilt)
    del rebuilt["server"]["timeout"]
    print("  equal to the input without that row:", rebuilt == nested)


def demo_shadeseq() -> None:
    """Weak-reference list: items leave as soon as nothing else holds them."""
    from korvo.datastructures.shadeseq import ShadeSeq

    class Job:
        def __init__(self, name: str) -> None:
            self.name = name

        def __repr__(self) -> str:
            return f"Job({self.name!r})"

    section("shadeseq")
    jobs = [Job("build"), Job("test"), Job("ship")]
    seq = ShadeSeq(jobs)
    print("seq = ShadeSeq(jobs)   ->", seq)
    print("  seq[0]               ->", seq[0], "(the object, not a reference)")
    print("  type(seq.data[0])    ->", type(seq.data[0]).__name__)
    del jobs[1]
    print("after del jobs[1]      ->", seq, "len", len(seq))
    jobs.pop()
    print("after jobs.pop()       ->", seq, "len", len(seq))
    seq.append(Job("temporary"))
    print("after appending a temporary ->", seq)
    jobs.clear()
    print("after jobs.clear()     ->", seq, "len", len(seq))


def demo_logic() -> None:
    """Logic expressions, written out as text and read back."""
    from korvo.datastructures.logic import And, Not, Or, logic_str

    section("logic")
    expr = And(Or("^img_", "^photo_"), Not("[.]tmp$"))
    text = str(expr)
    print("expression    ->", text)
    parsed = logic_str(text)
    print("read back     ->", repr(parsed), f"(equal: {parsed == expr})")
    names = ["img_01.png", "photo_02.jpg", "img_03.tmp", "notes.txt"]
    print("names         ->", names)
    print("kept          ->", [name for name in names if parsed(name)])
    digits = logic_str("Or(str.isdigit, 'x')")
    print("Or(str.isdigit, 'x') on '12', 'ab' ->", digits("12", "ab"))


def demo_sprig() -> None:
    """Tree printing."""
    from korvo.datastructures.sprig import Sprig

    section("sprig")
    root = Sprig("project", [Sprig("src", [Sprig("main.cpp"), Sprig("util.cpp")])])
    root.add_child(Sprig("tests", [Sprig("test_main.py")]))
    root.add_child("README.md\n(any object is drawn by its str())")
    print(root)


def demo_typewide() -> None:
    """Class-level properties."""
    from korvo.datastructures.typewide import typewide

    section("typewide")

    class Shape:
        @typewide
        def kind(cls):
            return cls.__name__.lower()

    class Circle(Shape):
        pass

    print("Shape.kind     ->", Shape.kind)
    print("Circle.kind    ->", Circle.kind)
    print("Circle().kind  ->", Circle().kind)


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
