"""Test-session guards: the suite must run against the installed wheel."""

from __future__ import annotations

import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent


def pytest_configure(config: pytest.Config) -> None:
    import korvo.datastructures as pkg

    where = pathlib.Path(pkg.__file__).resolve()
    # Developer builds elsewhere (scripts/dev-build.sh) are fine; the sources are not.
    if (REPO / "src") in where.parents:
        raise pytest.UsageError(
            f"korvo.datastructures imported from {where}; install the wheel "
            "(scripts/test.sh) and keep src/ off sys.path"
        )
