"""Shared pieces of the leak check and the crash fuzzer.

Each module of the package contributes one file ``ops_<module>.py`` next to
this one. It defines:

``MODULE``
    the import name, e.g. ``"korvo.datastructures.fieldbag"``; a table whose
    module is not built is skipped.
``leak_cases(m)``
    a list of ``Case`` objects: every public operation, with its error paths
    (bad arguments, raising callbacks), each run in a loop by leakcheck.py.
``make(w)``
    a new instance for the fuzzer's pool (``w`` is the World).
``FUZZ_OPS``
    functions ``op(w)`` doing one random operation on ``w.pick()`` with
    values from ``w.value()`` (hostile objects included).
``MUTATORS``
    functions ``mutate(target)`` that hostile callbacks run on the object
    being worked on (clear it, shrink it, grow it).
``huge_cases(m)``
    optional list of ``Case``: inputs of about a million entries, run once
    per fuzz campaign.

The hostile objects below misbehave only while ``Hostile.armed`` is set, so
the harness itself (logging, sanity reads, cleanup) sees ordinary objects.
"""

from __future__ import annotations

import collections.abc
import gc
import importlib.util
import pathlib
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent


# ---------------------------------------------------------------------------
# Tables


class _Any:
    """Marker: the operation may return or raise, both are fine."""

    def __repr__(self) -> str:
        return "ANY"


ANY = _Any()


@dataclass
class Case:
    """One operation for the leak check: `fn()` must raise `raises` (an
    exception class or tuple), return normally when `raises` is None, or do
    either when it is ANY."""

    name: str
    fn: Callable[[], Any]
    raises: Any = None


def case(name: str, fn: Callable[[], Any], raises: Any = None) -> Case:
    return Case(name, fn, raises)


def armed(fn: Callable[[], Any]) -> Callable[[], Any]:
    """`fn` with the hostile objects switched on while it runs."""

    def run() -> Any:
        Hostile.armed = True
        try:
            return fn()
        finally:
            Hostile.armed = False

    return run


@dataclass
class Table:
    name: str
    path: pathlib.Path
    module: Any = None
    ns: dict = field(default_factory=dict)

    def __getattr__(self, attr: str) -> Any:
        try:
            return self.ns[attr]
        except KeyError:
            raise AttributeError(attr) from None


def load_table(path: pathlib.Path) -> Table:
    spec = importlib.util.spec_from_file_location(f"korvo_safety_{path.stem}", path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod
    spec.loader.exec_module(mod)
    return Table(path.stem.removeprefix("ops_"), path, ns=vars(mod))


def _built(only: list[str] | None, verbose: bool) -> list[pathlib.Path]:
    paths = []
    known = set()
    for path in sorted(HERE.glob("ops_*.py")):
        name = path.stem.removeprefix("ops_")
        known.add(name)
        if only and name not in only:
            continue
        spec_name = _module_name(path)
        if importlib.util.find_spec(spec_name) is None:
            if verbose:
                print(f"  {name}: module {spec_name} not built, skipped")
            continue
        paths.append(path)
    for name in set(only or ()) - known:
        raise SystemExit(f"no table ops_{name}.py")
    return paths


def built_modules(only: list[str] | None = None) -> list[str]:
    """Names of the tables whose modules are built (others are skipped)."""
    return [p.stem.removeprefix("ops_") for p in _built(only, True)]


def tables(only: list[str] | None = None, *, verbose: bool = True) -> list[Table]:
    """The tables of the modules that are built, with their modules imported."""
    out = []
    for path in _built(only, verbose):
        t = load_table(path)
        t.module = importlib.import_module(t.MODULE)
        out.append(t)
    return out


def _module_name(path: pathlib.Path) -> str:
    for line in path.read_text().splitlines():
        if line.startswith("MODULE ="):
            return line.split("=", 1)[1].strip().strip("\"'")
    raise RuntimeError(f"{path.name} has no MODULE line")


# ---------------------------------------------------------------------------
# Hostile objects


class HostileError(Exception):
    """Raised by hostile callbacks."""


# Behaviours of a hostile object's special methods.
OK, RAISE, MUTATE, MUTATE_RAISE, KILL, WRONG, REENTER = range(7)
MODES = ("ok", "raise", "mutate", "mutate_raise", "kill", "wrong", "reenter")


class Hostile:
    """Base of the hostile objects. `mode` is what the special methods do
    once `after` ordinary calls have been made."""

    armed = False
    world: "World | None" = None

    def __init__(self, val: Any = 0, mode: int = OK, after: int = 0):
        self.val = val
        self.mode = mode
        self.after = after

    def _act(self) -> bool:
        """Runs the hostile behaviour; True when a wrong result is wanted."""
        if not Hostile.armed or self.mode == OK:
            return False
        if self.after > 0:
            self.after -= 1
            return False
        w = Hostile.world
        mode = self.mode
        if mode == RAISE:
            raise HostileError(MODES[mode])
        if mode in (MUTATE, MUTATE_RAISE) and w is not None:
            w.mutate()
        if mode == KILL and w is not None:
            w.kill()
        if mode == REENTER and w is not None:
            w.reenter()
        if mode == MUTATE_RAISE:
            raise HostileError(MODES[mode])
        return mode == WRONG

    def __repr__(self) -> str:
        if self._act():
            return 12  # type: ignore[return-value]
        return f"{type(self).__name__}({self.val!r})"

    __str__ = __repr__


class Bomb:
    """Result whose truth test raises (from a wrong __eq__, __call__, ...)."""

    def __bool__(self) -> bool:
        if Hostile.armed:
            raise HostileError("bool")
        return False


class HKey(Hostile):
    """Hashable, comparable, weakly referenceable."""

    def __hash__(self) -> int:
        if self._act():
            return "x"  # type: ignore[return-value]
        return hash(self.val)

    def __eq__(self, other: object) -> Any:
        if self._act():
            return Bomb()
        return isinstance(other, HKey) and self.val == other.val

    def __lt__(self, other: object) -> Any:
        if self._act():
            return Bomb()
        return isinstance(other, HKey) and str(self.val) < str(other.val)


class HText(Hostile):
    """Rendered through str()/repr()/format()."""

    def __format__(self, spec: str) -> str:
        if self._act():
            return 3  # type: ignore[return-value]
        return f"HText({self.val!r})"


class HIndex(Hostile):
    def __index__(self) -> int:
        if self._act():
            return 1.5  # type: ignore[return-value]
        return int(self.val) if isinstance(self.val, int) else 0

    __int__ = __index__


class HSeq(Hostile):
    """A pair-like sequence: len, iteration and items may misbehave."""

    def __len__(self) -> int:
        if self._act():
            return -1
        return len(self.val)

    def __iter__(self):
        for x in list(self.val):
            if self._act():
                yield "extra"
            yield x

    def __getitem__(self, i):
        if self._act():
            return Bomb()
        return self.val[i]

    def __bool__(self) -> bool:
        if self._act():
            return Bomb()  # type: ignore[return-value]
        return bool(self.val)

    def index(self, item):
        if self._act():
            return "x"
        return list(self.val).index(item)


class HMap(Hostile, collections.abc.Mapping):
    """A read-only mapping whose protocol methods may misbehave."""

    def __getitem__(self, key):
        if self._act():
            raise KeyError(key)
        return self.val[key]

    def __iter__(self):
        for k in list(self.val):
            self._act()
            yield k

    def __len__(self) -> int:
        if self._act():
            return 10**6
        return len(self.val)

    __hash__ = None  # type: ignore[assignment]


class HFunc(Hostile):
    """A callable; a wrong result is a Bomb."""

    def __call__(self, *args, **kwargs):
        if self._act():
            return Bomb()
        return bool(self.val)


class HNotWeak:
    """Not weakly referenceable (no __weakref__ slot)."""

    __slots__ = ("val",)

    def __init__(self, val: Any = 0):
        self.val = val

    def __repr__(self) -> str:
        return f"HNotWeak({self.val!r})"


HOSTILE_TYPES = (Hostile, Bomb, HNotWeak)


_DEEP: dict = {}


def deep(kind: str, depth: int) -> Any:
    """Nesting far beyond the recursion limit, built without recursion.
    Shared between calls until forget_deep(): the code under test may
    change what it is given."""
    if (kind, depth) in _DEEP:
        return _DEEP[kind, depth]
    obj: Any = 1
    for _ in range(depth):
        if kind == "list":
            obj = [obj]
        elif kind == "tuple":
            obj = (obj,)
        else:
            obj = {"k": obj}
    _DEEP[kind, depth] = obj
    return obj


def forget_deep() -> None:
    _DEEP.clear()


# ---------------------------------------------------------------------------
# The fuzzer's world


def silence_side_channels() -> None:
    """Logging records are formatted (so hostile arguments run) but dropped;
    unraisable exceptions (from weakref callbacks, finalizers) are counted."""
    import logging

    class FormatAndDrop(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            try:
                self.format(record)
            except Exception:
                pass

    logging.basicConfig(handlers=[FormatAndDrop()], level=logging.DEBUG, force=True)
    sys.unraisablehook = lambda unraisable: None


class World:
    """State of one fuzz example: the pool of module objects, and the
    objects that are only weakly held (killed on demand)."""

    def __init__(self, table: Table, draw: Callable[[Any], Any], log: Callable[[str], None]):
        self.table = table
        self.m = table.module
        self._draw = draw
        self.log = log
        self.pool: list[Any] = []
        self.keep: list[Any] = []
        self.current: Any = None  # the object last picked: likely being worked on
        self.mutations = 0

    # -- drawing (everything drawn is plain data, logged for reproduction)
    def draw(self, strategy: Any, label: str = "") -> Any:
        v = self._draw(strategy)
        self.log(f"    {label or 'draw'} = {v!r}")
        return v

    def integer(self, lo: int, hi: int, label: str = "int") -> int:
        from hypothesis import strategies as st

        return self.draw(st.integers(lo, hi), label)

    def choice(self, options: list[Any], label: str = "choice") -> Any:
        from hypothesis import strategies as st

        return self.draw(st.sampled_from(options), label)

    def index(self, lo: int, hi: int, label: str = "index") -> Any:
        """A position: an int, or an object whose __index__ may misbehave."""
        i = self.integer(lo, hi, label)
        if self.integer(0, 2, "hostile index"):
            return i
        return HIndex(i, self.integer(0, len(MODES) - 1, "mode"), self.integer(0, 2, "after"))

    def value(self, label: str = "value") -> Any:
        return self.build(self.draw(RECIPES, label))

    def key(self, label: str = "key") -> Any:
        return self.build(self.draw(KEY_RECIPES, label))

    def text(self, label: str = "text") -> Any:
        from hypothesis import strategies as st

        return self.draw(st.text(alphabet="ab.$%{}()'\"\\\n_ AND", max_size=8), label)

    def pick(self) -> Any:
        """An object of the pool, or a new one made by the table."""
        if self.pool and self.integer(0, 3, "pick") > 0:
            obj = self.pool[self.integer(0, len(self.pool) - 1, "which")]
        else:
            obj = self.table.make(self)
            self.pool.append(obj)
        self.current = obj
        return obj

    def build(self, r: Any) -> Any:
        tag = r[0]
        if tag == "int":
            return r[1]
        if tag == "str":
            return r[1]
        if tag == "none":
            return None
        if tag == "float":
            return float("nan")
        if tag == "list":
            return [self.build(x) for x in r[1]]
        if tag == "tuple":
            return tuple(self.build(x) for x in r[1])
        if tag == "dict":
            out = {}
            for k, v in r[1]:
                try:
                    out[self.build(k)] = self.build(v)
                except TypeError:
                    pass
            return out
        if tag == "deep":
            return deep(r[1], r[2])
        if tag == "pool":
            return self.pool[r[1] % len(self.pool)] if self.pool else None
        if tag == "notweak":
            return HNotWeak(r[1])
        if tag == "weak":
            obj = HKey(r[1], r[2], r[3])
            self.keep.append(obj)  # dies when a hostile callback kills it
            return obj
        cls = {"hkey": HKey, "htext": HText, "hindex": HIndex, "hseq": HSeq, "hmap": HMap,
               "hfunc": HFunc}[tag]
        val = r[1]
        if tag == "hseq":
            val = [self.build(x) for x in val]
        elif tag == "hmap":
            val = dict(self.build(("dict", val)))
        return cls(val, r[2], r[3])

    # -- what hostile callbacks do
    def mutate(self) -> None:
        mutators = self.table.ns.get("MUTATORS") or []
        if not mutators or not self.pool:
            return
        self.mutations += 1
        if self.mutations % 2 and self.current is not None:
            target = self.current
        else:
            target = self.pool[self.mutations % len(self.pool)]
        fn = mutators[self.mutations % len(mutators)]
        try:
            fn(target)
        except Exception:
            pass

    def kill(self) -> None:
        self.keep.clear()
        if self.mutations % 2 == 0:
            self.pool.clear()
            self.current = None
        self.mutations += 1
        gc.collect(1)  # the young generations: cheap, and enough for new cycles

    def reenter(self) -> None:
        if not self.pool:
            return
        target = self.pool[-1]
        Hostile.armed = False  # one level of re-entry only
        try:
            for read in (repr, str, len, list, bool):
                try:
                    read(target)
                except Exception:
                    pass
        finally:
            Hostile.armed = True


def _recipes():
    from hypothesis import strategies as st

    mode = st.integers(0, len(MODES) - 1)
    after = st.integers(0, 3)
    small = st.one_of(st.integers(-2, 5), st.text(alphabet="ab.$", max_size=3))
    texts = st.text(alphabet="ab.$%{}'\n", max_size=6)
    plain_leaf = st.one_of(
        st.tuples(st.just("int"), st.integers(-(2**65), 2**65)),
        st.tuples(st.just("str"), texts),
        st.tuples(st.just("none")),
        st.tuples(st.just("float")),
        st.tuples(st.just("pool"), st.integers(0, 7)),
        st.tuples(st.just("notweak"), small),
        st.tuples(st.just("weak"), small, mode, after),
        st.tuples(st.sampled_from(["hkey", "htext", "hindex", "hfunc"]), small, mode, after),
    )
    # Deep nesting is costly to build: about one leaf in thirty.
    deep_leaf = st.tuples(st.just("deep"), st.sampled_from(["list", "tuple", "dict"]),
                          st.sampled_from([1200, 100_000]))
    leaf = st.integers(0, 29).flatmap(lambda n: deep_leaf if n == 0 else plain_leaf)
    key = st.one_of(
        st.tuples(st.just("str"), texts),
        st.tuples(st.just("int"), st.integers(-3, 3)),
        st.tuples(st.just("hkey"), small, mode, after),
    )

    def extend(kids):
        return st.one_of(
            st.tuples(st.just("list"), st.lists(kids, max_size=4)),
            st.tuples(st.just("tuple"), st.lists(kids, max_size=4)),
            st.tuples(st.just("dict"), st.lists(st.tuples(key, kids), max_size=4)),
            st.tuples(st.just("hseq"), st.lists(kids, min_size=1, max_size=3), mode, after),
            st.tuples(st.just("hmap"), st.lists(st.tuples(key, kids), max_size=3), mode, after),
        )

    return st.recursive(leaf, extend, max_leaves=12), key


# The value and key strategies, built by init_strategies() (the leak check
# runs without hypothesis).
RECIPES: Any = None
KEY_RECIPES: Any = None


def init_strategies() -> None:
    global RECIPES, KEY_RECIPES
    RECIPES, KEY_RECIPES = _recipes()


def korvo_objects(found: list | None = None) -> dict[str, int]:
    """Counts of live objects of the package's and the harness's types after
    a full collection; growth over a campaign means leaked references. The
    objects themselves are appended to `found` when given."""
    gc.collect()
    gc.collect()
    counts: dict[str, int] = {}
    for o in gc.get_objects():
        tp = type(o)
        mod = tp.__dict__.get("__module__", "")
        if not isinstance(mod, str):
            mod = ""
        if mod.startswith("korvo.datastructures") or mod.startswith("korvo_safety_") or (
            isinstance(o, HOSTILE_TYPES)
        ):
            if isinstance(o, type):
                continue
            key = f"{mod}.{tp.__qualname__}"
            counts[key] = counts.get(key, 0) + 1
            if found is not None:
                found.append(o)
    return counts


def describe_leaks(objs: list, limit: int = 8) -> str:
    """What holds each object: nothing (or only other leaked objects) means
    its reference count was raised and never dropped."""
    lines = []
    ids = {id(o) for o in objs}
    for o in objs[:limit]:
        holders = [r for r in gc.get_referrers(o) if r is not objs]
        outside = [type(r).__name__ for r in holders if id(r) not in ids]
        try:
            text = object.__repr__(o)
        except Exception:
            text = type(o).__name__
        lines.append(f"    {text}: refcount {sys.getrefcount(o) - 2}, held by "
                     f"{len(holders)} gc objects ({', '.join(outside) or 'none outside the leak'})")
    return "\n".join(lines)
