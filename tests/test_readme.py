"""The examples of README.md run as written."""
import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("block", BLOCKS, ids=[f"example{i}" for i in range(len(BLOCKS))])
def test_readme_example(block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if ">>>" not in block:
        exec(compile(block, str(README), "exec"), {"__name__": "readme"})
        return
    test = doctest.DocTestParser().get_doctest(block, {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0
