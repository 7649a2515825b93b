"""configuration: Configuration, its value conversion and its loaders."""

import configparser
import contextlib
import os
import pathlib
import tempfile

import harness as h
from harness import ANY, armed, case

MODULE = "korvo.datastructures.configuration"

_DIR = pathlib.Path(tempfile.mkdtemp(prefix="korvo-safety-"))


def _file(name, text):
    path = _DIR / name
    path.write_text(text)
    return str(path)


class _EntryPoint:
    def __init__(self, payload, dist="dist-1"):
        self.payload, self.dist = payload, dist

    def load(self):
        # A new exception each time: re-raising one instance would grow its
        # traceback, which reads as a leak.
        if isinstance(self.payload, type) and issubclass(self.payload, BaseException):
            raise self.payload("load")
        return self.payload


@contextlib.contextmanager
def _patched(m, name, value):
    old = getattr(m, name)
    setattr(m, name, value)
    try:
        yield
    finally:
        setattr(m, name, old)


def leak_cases(m):
    C = m.Configuration
    os.environ.setdefault("KORVO_SAFETY_SET", "value")
    os.environ.pop("KORVO_SAFETY_UNSET", None)
    yaml_ok = _file("a.yaml", "x: 1\ny: {p: 1, q: [1, 2]}\n")
    yaml_bad = _file("bad.yaml", "x: [1,\n")
    yaml_scalar = _file("scalar.yaml", "just text\n")
    ini_ok = _file("a.ini", "[DEFAULT]\nd = 1\n[s]\nk = $KORVO_SAFETY_SET/x\n"
                             "u = a${KORVO_SAFETY_UNSET}\n[a.b]\nx.y = 2\n")
    ini_pct = _file("pct.ini", "[s]\npct = 50%\n")
    ini_syntax = _file("syntax.ini", "[s]\nk: v\n")
    ini_interp = _file("interp.ini", "[s]\nk = %(nope)s\n")
    missing = str(_DIR / "missing.ini")
    cfg = C({"a": {"b": "1"}, "s": "text"})

    def raising_typecast(value):
        raise h.HostileError("typecast")

    def with_typecast(fn):
        def run():
            with _patched(m, "typecast_str", raising_typecast):
                return fn()
        return run

    def with_eps(eps):
        def run():
            with _patched(m, "get_entry_points", lambda group: eps):
                return C().load_entrypoint("group")
        return run

    def expand_parser():
        p = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
        p.read_string("[DEFAULT]\nd = $KORVO_SAFETY_UNSET\n[s]\nk = ${KORVO_SAFETY_SET}\n")
        return C._expand_cfg_env_vars(p)

    return [
        case("Configuration(nested)", lambda: C({"a": {"b": "1"}}, c="2")),
        case("setitem dotted", lambda: cfg.__setitem__("p.q.r", "3")),
        case("setitem over a value", lambda: cfg.__setitem__("s.x", "1"), KeyError),
        case("setitem raising typecast", with_typecast(lambda: C().__setitem__("a.b", "1")),
             h.HostileError),
        case("update raising typecast", with_typecast(lambda: C({"a": 1})), h.HostileError),
        case("getitem dotted", lambda: cfg["a.b"]),
        case("attribute write", lambda: setattr(cfg, "x", "1")),
        case("copy", lambda: cfg.copy()),
        case("copy with argument", lambda: cfg.copy(1), TypeError),
        case("repr", lambda: repr(cfg)),
        case("_missing_env_vars", lambda: C._missing_env_vars("x ${B_UNSET_1} $A_UNSET_2 ${B}")),
        case("_missing_env_vars bytes", lambda: C._missing_env_vars(b"x"), TypeError),
        case("_expand_cfg_value", lambda: C._expand_cfg_value(
            "$KORVO_SAFETY_SET ${KORVO_SAFETY_UNSET} $$", section="s", key="k")),
        case("_expand_cfg_value positional", lambda: C._expand_cfg_value("x", "s", "k"),
             TypeError),
        case("_expand_cfg_value missing keyword", lambda: C._expand_cfg_value("x", section="s"),
             TypeError),
        case("_expand_cfg_value int", lambda: C._expand_cfg_value(1, section="s", key="k"),
             TypeError),
        case("_expand_cfg_env_vars", expand_parser),
        case("_expand_cfg_env_vars not a parser", lambda: C._expand_cfg_env_vars(5),
             AttributeError),
        case("load_yamls", lambda: C().load_yamls(yaml_ok, missing)),
        case("load_yamls none", lambda: C().load_yamls()),
        case("load_yamls invalid", lambda: C().load_yamls(yaml_bad), Exception),
        case("load_yamls scalar", lambda: C().load_yamls(yaml_scalar), TypeError),
        case("load_yamls not a path", lambda: C().load_yamls(3.5), TypeError),
        case("load_cfgs", lambda: C().load_cfgs(ini_ok, missing)),
        case("load_cfgs percent", lambda: C().load_cfgs(ini_pct), ValueError),
        case("load_cfgs syntax", lambda: C().load_cfgs(ini_syntax), configparser.Error),
        case("load_cfgs interpolation", lambda: C().load_cfgs(ini_interp),
             configparser.InterpolationError),
        case("load_entrypoint", with_eps([_EntryPoint({"a": {"b": 1}})])),
        case("load_entrypoint failing load", with_eps([_EntryPoint(h.HostileError),
                                                       _EntryPoint({"k": 1})])),
        case("load_entrypoint bad payload", with_eps([_EntryPoint(5)])),
        case("load_entrypoint raising dist",
             armed(with_eps([_EntryPoint(h.HostileError, dist=h.HText(1, h.RAISE))])),
             h.HostileError),
        case("load_entrypoint not iterable", with_eps(5), TypeError),
        case("load_entrypoint interrupt", with_eps([_EntryPoint(KeyboardInterrupt)]),
             KeyboardInterrupt),
    ]


def make(w):
    return w.m.Configuration(w.value("init"))


def _key(w):
    parts = [w.choice(["a", "b", "", "DEFAULT"], "part") for _ in range(w.integer(1, 3, "depth"))]
    return ".".join(parts)


def op_setitem(w):
    w.pick()[_key(w)] = w.value()


def op_update(w):
    w.pick().update(w.value())


def op_read(w):
    cfg = w.pick()
    cfg.get(_key(w))
    _key(w) in cfg
    repr(cfg)


def op_copy(w):
    w.pool.append(w.pick().copy())


def op_env(w):
    text = w.text()
    C = w.m.Configuration
    C._missing_env_vars(text)
    C._expand_cfg_value(text, section=w.value("section"), key=w.value("key"))


def op_typecast(w):
    """Conversion that misbehaves: raises, mutates the store, returns junk."""
    m = w.m
    mode = w.integer(0, 2, "typecast")
    hostile = h.HFunc(1, h.MUTATE_RAISE if mode == 0 else h.MUTATE)
    target = w.pick()

    def typecast(value):
        hostile()
        return value if mode != 2 else h.HKey(1)
    with _patched(m, "typecast_str", typecast):
        target[_key(w)] = w.value()
        target.update(w.value())


def op_load(w):
    cfg = w.pick()
    which = w.integer(0, 2, "loader")
    if which == 0:
        text = w.text("yaml")
        cfg.load_yamls(_file("fuzz.yaml", "a: " + repr(text) + "\n" + text))
    elif which == 1:
        text = w.text("ini")
        cfg.load_cfgs(_file("fuzz.ini", "[s]\nk = " + text + "\n" + text))
    else:
        eps = [_EntryPoint(w.value("payload"), dist=w.value("dist"))
               for _ in range(w.integer(0, 2, "eps"))]
        with _patched(w.m, "get_entry_points", lambda group: eps):
            cfg.load_entrypoint("group")


FUZZ_OPS = [op_setitem, op_update, op_read, op_copy, op_env, op_typecast, op_load]

MUTATORS = [
    lambda t: t.clear(),
    lambda t: dict.update(t, {"a": 1}),
    lambda t: t.popitem(),
]


def huge_cases(m):
    C = m.Configuration
    big = {f"k{i}": str(i) for i in range(300_000)}
    ini = _file("huge.ini", "[s]\n" + "".join(f"k{i} = {i}\n" for i in range(100_000)))
    return [
        case("Configuration(3e5 keys)", lambda: len(C(big))),
        case("load_cfgs(1e5 options)", lambda: C().load_cfgs(ini)),
    ]
