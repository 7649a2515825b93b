"""Configuration: conversion, environment expansion and the three loaders."""

from __future__ import annotations

import configparser
import logging
import subprocess
import sys
import types

import pytest
import yaml

from korvo.datastructures import configuration
from korvo.datastructures.configuration import Configuration

WARNING = ("Environment variable(s) %s referenced by [%s] %s are not set; "
           "substituting an empty string.")
PREFIX = "Failed to load configuration from entrypoint: "


@pytest.fixture
def env(monkeypatch):
    for name, value in {"HOME": "/home/u", "A B": "spaced", "OTHER": "$HOME\\1"}.items():
        monkeypatch.setenv(name, value)
    for name in ("NOPE", "HOME_DIR", "A", "B"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def write(tmp_path):
    def write(name, text):
        (tmp_path / name).write_text(text)
        return str(tmp_path / name)
    return write


def test_conversion_per_level_and_copy(monkeypatch):
    calls = []
    monkeypatch.setattr(configuration, "typecast_str", lambda v: calls.append(v) or v)
    cfg = Configuration()
    cfg["a.b"] = "1"
    assert calls == ["1", cfg["a"], "1"] and type(calls[1]) is Configuration
    cfg.x = "raw"
    dup = cfg.copy()
    assert calls[3:] == [dup["a"], "1", "raw"] and dup == cfg and dup["a"] is not cfg["a"]
    dup["a.b"] = 9
    assert cfg["a.b"] == "1"


@pytest.mark.parametrize("text, expected, missing", [
    ("$HOME/x ${HOME}/x", "/home/u/x /home/u/x", None),
    ("a$NOPE-b", "a-b", "NOPE"),
    ("$NOPE $NOPE ${NOPE}", "  ", "NOPE"),
    ("$HOME_DIR x ${B} $A ${B}", " x   ", "HOME_DIR, B, A"),
    ("$1abc cost $ ${} $-x", "$1abc cost $ ${} $-x", None),
    ("$$HOME ${A B} $OTHER", "$/home/u spaced $HOME\\1", None),
])
def test_expand_value(env, caplog, text, expected, missing):
    assert Configuration._expand_cfg_value(text, section="s", key="k") == expected
    if missing is None:
        assert caplog.records == []
    else:
        [record] = caplog.records
        assert (record.levelno, record.msg, record.args) == (logging.WARNING, WARNING,
                                                             (missing, "s", "k"))


def test_expand_non_string():
    with pytest.raises(TypeError, match="expected string"):
        Configuration._expand_cfg_value(5, section="s", key="k")


def test_parser_expansion_goes_through_module_class(env, monkeypatch):
    seen = []

    class Spy:
        finditer = staticmethod(Configuration._ENV_VAR_PATTERN.finditer)

        def sub(self, repl, value):
            seen.append(repl.__qualname__)
            return Configuration._ENV_VAR_PATTERN.sub(repl, value)

    monkeypatch.setattr(configuration, "Configuration", type("Sub", (Configuration,),
                                                             {"_ENV_VAR_PATTERN": Spy()}))
    parser = configparser.ConfigParser()
    parser.read_string("[DEFAULT]\nd = $HOME\n[s]\nk = ${NOPE}x\n")
    assert Configuration._expand_cfg_env_vars(parser) is None
    assert seen == ["Configuration._expand_cfg_value.<locals>.<lambda>"] * 2
    assert (parser.get("s", "d"), parser.get("s", "k")) == ("/home/u", "x")


def test_load_yamls(write, tmp_path, monkeypatch):
    cfg = Configuration()
    a, b = write("a.yaml", "x: 1\ny: {p: 1}\n"), write("b.yaml", "y: {q: '2'}\n")
    assert cfg.load_yamls(a, tmp_path / "missing", tmp_path, b) == (a, b)
    assert (cfg["x"], cfg["y.p"], cfg.y.q) == (1, 1, 2) and cfg.load_yamls() == ()
    with pytest.raises(TypeError, match="not iterable"):
        cfg.load_yamls(write("c.yaml", "# comment\n"))
    with pytest.raises(TypeError, match="element #0 to a sequence"):
        cfg.load_yamls(write("s.yaml", "text\n"))
    opened = []
    monkeypatch.setattr(configuration, "open", lambda *a: opened.append(open(*a)) or opened[-1],
                        raising=False)
    with pytest.raises(yaml.YAMLError):
        cfg.load_yamls(write("ok.yaml", "z: 3\n"), write("bad.yaml", "a: [1,\n"))
    assert cfg["z"] == 3 and len(opened) == 2 and all(f.closed for f in opened)


def test_load_cfgs(write, env, caplog):
    cfg = Configuration()
    first = write("1.ini", "[DEFAULT]\nd = 1\n[s]\nk = $HOME/x\nKey = a${NOPE}\n;x = 1\n"
                           "[a.b]\nx.y = %(d)s\npct = 5%%\n")
    second = write("2.ini", "[s]\n# comment\nk = override\n")
    assert cfg.load_cfgs(first, "nope.ini", second) == [first, second]
    assert cfg == {"s": {"k": "override", "key": "a", ";x": 1, "d": 1},
                   "a": {"b": {"x": {"y": 1}, "pct": "5%", "d": 1}}}
    [record] = caplog.records
    assert record.args == ("NOPE", "s", "key")
    cfg.load_cfgs(write("d.ini", "[DEFAULT]\nd = 2\n"))
    assert "DEFAULT" not in cfg and cfg["s.d"] == 1


@pytest.mark.parametrize("text, error, left", [
    ("[s]\nk = 1\nk: v\n", configparser.ParsingError, {}),
    ("[s]\npct = 50%\n", ValueError, {}),
    ("[a]\nk = 1\n[b]\nk = %(nope)s\n", configparser.InterpolationMissingOptionError,
     {"DEFAULT": {}, "a": {"k": 1}, "b": {}}),
])
def test_load_cfgs_errors(write, text, error, left):
    cfg = Configuration(keep=1)
    with pytest.raises(error):
        cfg.load_cfgs(write("bad.ini", text))
    assert cfg == {"keep": 1, **left}


def test_load_entrypoint_real_group(tmp_path, monkeypatch, caplog):
    group, info = "korvo.tests.configuration", tmp_path / "korvo_cfg_plugin-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: korvo-cfg-plugin\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        f"[{group}]\nbroken = korvo_cfg_plugin:MISSING\ngood = korvo_cfg_plugin:SETTINGS\n")
    (tmp_path / "korvo_cfg_plugin.py").write_text("SETTINGS = {'db': {'port': '5432'}}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "korvo_cfg_plugin", raising=False)
    cfg = Configuration()
    assert [ep.name for ep in cfg.load_entrypoint(group)] == ["good"]
    assert cfg == {"db": {"port": 5432}}
    [record] = caplog.records
    assert record.levelno == logging.ERROR and record.args == () and "Traceback" in caplog.text
    assert record.msg.startswith(PREFIX + "<importlib.metadata.PathDistribution object")
    assert isinstance(record.exc_info[1], AttributeError)
    sys.modules.pop("korvo_cfg_plugin", None)


def FakeEP(load, dist="fake-dist"):
    return types.SimpleNamespace(load=load, dist=dist)


def interrupt():
    raise KeyboardInterrupt


def test_load_entrypoint_failures(monkeypatch, caplog):
    groups = []

    def use(*eps):
        monkeypatch.setattr(configuration, "get_entry_points",
                            lambda group: groups.append(group) or list(eps))

    use(FakeEP(lambda: [("a", 1), "bad"]), FakeEP(lambda: 5), good := FakeEP(dict))
    cfg = Configuration()
    assert cfg.load_entrypoint(g := object()) == [good] and cfg == {"a": 1} and groups == [g]
    assert [r.msg for r in caplog.records] == [PREFIX + "fake-dist"] * 2
    assert all(r.exc_info[2] is not None for r in caplog.records)

    use(FakeEP(lambda: 5, dist=type("D", (), {"__format__": lambda s, fmt: 1 / 0})()))
    with pytest.raises(ZeroDivisionError) as info:
        cfg.load_entrypoint("g")
    assert isinstance(info.value.__context__, TypeError)
    use(FakeEP(interrupt), FakeEP(dict))
    with pytest.raises(KeyboardInterrupt):
        cfg.load_entrypoint("g")
    monkeypatch.setattr(configuration, "get_entry_points", len)
    with pytest.raises(TypeError):
        cfg.load_entrypoint(5)


@pytest.mark.parametrize("loader", ["load_cfgs", "load_yamls", "load_entrypoint"])
def test_entries_named_like_methods_do_not_break_loading(write, monkeypatch, loader):
    monkeypatch.setattr(configuration, "get_entry_points", lambda g: [FakeEP(lambda: {"s.k": 1})])
    args = {"load_cfgs": write("c.ini", "[s]\nk = 1\n"), "load_yamls": write("c.yaml", "s: {k: 1}")}
    cfg = Configuration(update=0, pop=0, _expand_cfg_env_vars=0)
    getattr(cfg, loader)(args.get(loader, "g"))
    assert cfg["s.k"] == 1 and cfg.update == 0


@pytest.mark.parametrize("name, text", [
    ("deep.yaml", "'{a: ' * 100_000 + '1' + '}' * 100_000"),
    # A million options: about 15 s, nearly all of it in the standard INI parser.
    ("big.ini", "'[s]\\n' + ''.join(f'k{i} = {i}\\n' for i in range(1_000_000))"),
])
def test_huge_files_do_not_crash(tmp_path, name, text):
    code = f"""if True:
        import pathlib, sys
        from korvo.datastructures.configuration import Configuration
        path = pathlib.Path(sys.argv[1], {name!r})
        path.write_text({text})
        try:
            cfg = Configuration()
            cfg.load_yamls(path) if path.suffix == ".yaml" else cfg.load_cfgs(path)
            assert path.suffix == ".yaml" or cfg["s.k999999"] == 999_999
        except (RecursionError, MemoryError):
            pass
        """
    proc = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True,
                          text=True)
    assert proc.returncode == 0, proc.stderr[-2000:]


def test_copies_and_pickles_keep_attribute_access():
    import copy
    import pickle

    from korvo.datastructures.configuration import Configuration

    cfg = Configuration({"db": {"port": "5432"}})
    for other in (copy.copy(cfg), copy.deepcopy(cfg), pickle.loads(pickle.dumps(cfg))):
        assert other == cfg and type(other) is Configuration
        assert other.db.port == 5432 and type(other.db) is Configuration
