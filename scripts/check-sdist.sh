#!/usr/bin/env bash
# Build the sdist and the wheel with `python -m build` (the wheel is built
# from the sdist), install the sdist into a fresh CPython 3.12 virtual
# environment, where pip compiles it, and run the test suite that the sdist
# carries against that installation. Extra arguments go to pytest.
# Everything happens in a temporary directory that is removed afterwards.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if ! py="$(korvo_find_python 3.12)"; then
    echo "CPython 3.12 not found (set KORVO_PYTHON)" >&2
    exit 1
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "=== sdist and wheel: python -m build ($py)"
"$py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install "${KORVO_PIP[@]}" --upgrade pip build
"$work/tools/bin/python" -m build --outdir "$work/dist" "$KORVO_ROOT"
sdist="$(echo "$work"/dist/korvo_datastructures-*.tar.gz)"
wheel="$(echo "$work"/dist/korvo_datastructures-*.whl)"
[[ -f "$sdist" && -f "$wheel" ]] || { echo "python -m build made no sdist and wheel" >&2; exit 1; }

echo "=== install the sdist into a fresh virtual environment"
"$py" -m venv "$work/venv"
export PATH="$work/venv/bin:$PATH"
python -m pip install "${KORVO_PIP[@]}" --upgrade pip
python -m pip install "${KORVO_PIP[@]}" "$sdist[test]"
# korvo.utils belongs to a separate distribution; use the stand-in.
python -m pip install "${KORVO_PIP[@]}" "$KORVO_ROOT/support/korvo-utils"

echo "=== tests of the sdist against the installation"
tar -xzf "$sdist" -C "$work"
cd "$work"/korvo_datastructures-*/
KORVO_WHEEL="$wheel" python -m pytest -q -p no:cacheprovider tests "$@"
