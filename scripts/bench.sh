#!/usr/bin/env bash
# Benchmarks against the peer libraries and the plain-Python limits.
#
# Builds the wheel (Release) and installs it, with the korvo.utils stand-in,
# the peers and pytest-benchmark (bench/requirements.txt), into a venv of its
# own under .venvs/bench/, with a CMake tree under build/bench/, so it can run
# next to scripts/test.sh. Then runs every workload in bench/ in one process
# and prints the table of medians and ratios, and the goals.
#
#   scripts/bench.sh [PYTEST ARGS...]      e.g. scripts/bench.sh -k dotted
#
# Environment: KORVO_PYTHON (the CPython 3.12 to use), KORVO_BENCH_OUT (where
# the raw results go; default build/bench/results).
set -euo pipefail
source "$(dirname "$0")/common.sh"

export KORVO_VENVS="$KORVO_ROOT/.venvs/bench" KORVO_BUILD="build/bench"
py="$(korvo_find_python 3.12)" || { echo "CPython 3.12 not found (set KORVO_PYTHON)" >&2; exit 1; }
korvo_setup "$py" -r "$KORVO_ROOT/bench/requirements.txt"
korvo_build_install -Ccmake.define.KORVO_WERROR=OFF

out="${KORVO_BENCH_OUT:-$KORVO_ROOT/build/bench/results}"
mkdir -p "$out"
cd "$KORVO_ROOT"
# pytest-benchmark's own tables are replaced by the report below.
python -m pytest -c bench/pytest.ini bench -q -rs --benchmark-quiet \
    --benchmark-json="$out/results.json" --bench-skips="$out/skipped.json" "$@"
python bench/report.py "$out/results.json" --skips "$out/skipped.json" | tee "$out/report.txt"
