"""Configuration: load a YAML file and an INI file of n lines."""

from __future__ import annotations

import configparser

import pytest

from conftest import cases, needs, optional, run

pytestmark = needs("korvo.datastructures.configuration")

SIZES = (500, 5000)
PER_SECTION = 50  # a section header and 49 options


def value(j: int) -> str:
    kind = j % 4
    return ("text-%d" % j, str(j), "%d.5" % j, "true")[kind]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """{n: (yaml path, ini path)}, each file n lines long."""
    out = {}
    root = tmp_path_factory.mktemp("configuration")
    for n in SIZES:
        yaml_lines, ini_lines = [], []
        for i in range(n // PER_SECTION):
            yaml_lines.append(f"section{i}:")
            ini_lines.append(f"[section{i}]")
            for j in range(PER_SECTION - 1):
                yaml_lines.append(f"  key{j}: {value(j)}")
                ini_lines.append(f"key{j} = {value(j)}")
        assert len(yaml_lines) == len(ini_lines) == n
        yaml_path, ini_path = root / f"{n}.yaml", root / f"{n}.ini"
        yaml_path.write_text("\n".join(yaml_lines) + "\n")
        ini_path.write_text("\n".join(ini_lines) + "\n")
        out[n] = (str(yaml_path), str(ini_path))
    return out


def parser():
    # The parser settings the INI loader uses.
    return configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))


def yaml_target(impl: str, path: str):
    if impl == "Configuration.load_yamls":
        from korvo.datastructures.configuration import Configuration

        def load():
            cfg = Configuration()
            cfg.load_yamls(path)
            return cfg
    elif impl == "OmegaConf.load":
        oc = optional("omegaconf").OmegaConf

        def load():
            # Trusted input: the alias-expansion limit (10 000 nodes) is off.
            return oc.load(path, max_yaml_expanded_nodes=None)
    elif impl == "parse alone (yaml.safe_load)":
        yaml = optional("yaml")

        def load():
            with open(path) as f:
                return yaml.safe_load(f)
    else:
        raise AssertionError(impl)
    assert load()["section0"]["key1"] == 1
    return load


def ini_target(impl: str, path: str):
    if impl == "Configuration.load_cfgs":
        from korvo.datastructures.configuration import Configuration

        def load():
            cfg = Configuration()
            cfg.load_cfgs(path)
            return cfg
    elif impl == "configparser to dicts":
        def load():
            config = parser()
            config.read(path)
            return {name: dict(config[name]) for name in config.sections()}
    elif impl == "parse alone (configparser read)":
        def load():
            config = parser()
            config.read(path)
            return config
    else:
        raise AssertionError(impl)
    assert load()["section0"]["key1"] in ("1", 1)
    return load


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(korvo=["Configuration.load_yamls"], peers=["OmegaConf.load"],
                                       limits=["parse alone (yaml.safe_load)"]))
def bench_load_yaml(benchmark, files, impl, size):
    run(benchmark, workload="configuration: load a YAML file", size=size, unit="lines",
        impl=impl, target=yaml_target(impl[1], files[size][0]))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("impl", cases(korvo=["Configuration.load_cfgs"],
                                       peers=["configparser to dicts"],
                                       limits=["parse alone (configparser read)"]))
def bench_load_ini(benchmark, files, impl, size):
    run(benchmark, workload="configuration: load an INI file", size=size, unit="lines",
        impl=impl, target=ini_target(impl[1], files[size][1]))
