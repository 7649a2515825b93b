"""Contents of the wheel built by scripts/test.sh (path in KORVO_WHEEL)."""

from __future__ import annotations

import email.parser
import importlib
import os
import pathlib
import sysconfig
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
PKG_SRC = REPO / "src" / "korvo" / "datastructures"
MODULES = sorted(p.stem for p in PKG_SRC.glob("*.cpp"))
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


@pytest.fixture(scope="module")
def wheel_names() -> list[str]:
    path = os.environ.get("KORVO_WHEEL")
    if not path:
        pytest.skip("KORVO_WHEEL is not set (run scripts/test.sh)")
    with zipfile.ZipFile(path) as zf:
        return zf.namelist()


def test_package_layout(wheel_names):
    names = set(wheel_names)
    assert "korvo/datastructures/__init__.py" in names
    assert "korvo/__init__.py" not in names, "korvo must stay a namespace package"
    assert not [n for n in names if n.startswith("korvo/utils")]
    assert not [n for n in names if n.endswith((".cpp", ".hpp", ".h"))]


def test_one_extension_per_source(wheel_names):
    built = sorted(
        n.removeprefix("korvo/datastructures/").removesuffix(EXT_SUFFIX)
        for n in wheel_names
        if n.startswith("korvo/datastructures/") and n.endswith(EXT_SUFFIX)
    )
    assert built == MODULES


def test_type_stubs_shipped(wheel_names):
    names = set(wheel_names)
    assert "korvo/datastructures/py.typed" in names
    stubs = sorted(n.removeprefix("korvo/datastructures/").removesuffix(".pyi")
                   for n in names if n.startswith("korvo/datastructures/") and n.endswith(".pyi"))
    assert stubs == MODULES


def test_metadata(wheel_names):
    meta_name = next(n for n in wheel_names if n.endswith(".dist-info/METADATA"))
    with zipfile.ZipFile(os.environ["KORVO_WHEEL"]) as zf:
        meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    assert meta["Name"] == "korvo-datastructures"
    requires = [r.replace(" ", "") for r in meta.get_all("Requires-Dist", [])]
    assert any(r.startswith("PyYAML>=6") for r in requires), requires
    assert meta["Version"] and meta["Summary"] and meta["License-Expression"]
    assert meta["Requires-Python"] == ">=3.11"
    assert meta["Description-Content-Type"] == "text/markdown" and "## Modules" in meta.get_payload()
    assert "Typing :: Typed" in meta.get_all("Classifier", [])


@pytest.mark.parametrize("module", MODULES)
def test_extension_imports_from_install(module, wheel_names):
    mod = importlib.import_module(f"korvo.datastructures.{module}")
    path = pathlib.Path(mod.__file__)
    assert path.name == module + EXT_SUFFIX
    assert "site-packages" in path.parts
