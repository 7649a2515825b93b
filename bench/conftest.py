"""Shared pieces of the benchmark suite.

Every benchmark is one case: a workload at one size, run by one
implementation, which is this package ("korvo"), a peer library a Python
user would pick instead ("peer"), or the plain-Python limit ("limit").
The harness is pytest-benchmark; `bench/report.py` turns its JSON output
into the table of medians and ratios.

A workload whose module of this package is not built skips as a whole, so
the suite runs with whatever modules exist.
"""

from __future__ import annotations

import importlib
import importlib.util
import json
import time
from typing import Callable, Iterable

import pytest

KORVO, PEER, LIMIT = "korvo", "peer", "limit"

# bench_sprig.py is a stand-alone script (run it directly), not a workload.
collect_ignore = ["bench_sprig.py"]

# Slow cases run a fixed, smaller number of rounds instead of what the
# harness calibrates: above this many seconds per call.
SLOW_CALL = 0.25


def built(module: str) -> bool:
    """True when the extension module `module` of this package is installed."""
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:
        return False


def needs(module: str):
    """Skip marker for a workload that measures `module` of this package."""
    return pytest.mark.skipif(not built(module), reason=f"{module} is not built")


def optional(name: str):
    """Imports a peer library, skipping the case when it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not installed")


def cases(korvo: Iterable[str] = (), peers: Iterable[str] = (), limits: Iterable[str] = ()):
    """Parameters for the `impl` argument: (role, name) pairs in table order."""
    out = []
    for role, names in ((KORVO, korvo), (PEER, peers), (LIMIT, limits)):
        out += [pytest.param((role, name), id=name) for name in names]
    return out


def compile_body(name: str, params: str, lines: Iterable[str], namespace: dict) -> Callable:
    """Builds `def name(params): <lines>` so that a workload runs as straight
    code, without a loop or a call per operation that would blur the
    per-operation cost being compared."""
    body = "\n".join("    " + line for line in lines) or "    pass"
    code = f"def {name}({params}):\n{body}\n"
    scope = dict(namespace)
    exec(compile(code, f"<bench {name}>", "exec"), scope)
    return scope[name]


def run(
    benchmark,
    *,
    workload: str,
    size: int,
    unit: str,
    impl: tuple[str, str],
    target: Callable[[], object],
    setup: Callable[[], tuple] | None = None,
) -> None:
    """Measures `target` as one case of `workload` at `size`.

    Without `setup`, the harness calibrates how many calls make a round.
    With `setup`, each round is one call on fresh arguments that `setup`
    returns (as a tuple), and the setup is not timed.
    """
    role, name = impl
    benchmark.group = f"{workload} [{unit}={size}]"
    benchmark.name = name
    benchmark.extra_info.update(workload=workload, size=size, unit=unit, role=role, impl=name)

    if setup is None:
        started = time.perf_counter()
        target()
        if time.perf_counter() - started > SLOW_CALL:
            benchmark.pedantic(target, rounds=3, iterations=1)
        else:
            benchmark(target)
        return

    args = setup()
    started = time.perf_counter()
    target(*args)
    elapsed = time.perf_counter() - started
    rounds = 3 if elapsed > SLOW_CALL else max(5, min(50, int(1.0 / max(elapsed, 1e-6))))
    benchmark.pedantic(target, setup=lambda: (setup(), {}), rounds=rounds, iterations=1)


# ---------------------------------------------------------------------------
# Cases that did not run (a module not built, a peer that cannot do the
# work) are written to --bench-skips, so the report can list them.

_skipped: list[dict] = []


def pytest_addoption(parser):
    parser.addoption("--bench-skips", metavar="PATH",
                     help="write the cases that were skipped, and why, to PATH (JSON)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.skipped and report.when in ("setup", "call"):
        params = getattr(item, "callspec", None)
        params = params.params if params else {}
        longrepr = report.longrepr
        reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
        impl = params.get("impl")
        _skipped.append({
            "bench": item.originalname, "impl": impl[1] if impl else None,
            "size": params.get("size"), "reason": reason.removeprefix("Skipped: "),
        })


def pytest_sessionfinish(session):
    path = session.config.getoption("--bench-skips")
    if path:
        with open(path, "w") as f:
            json.dump(_skipped, f, indent=1)
