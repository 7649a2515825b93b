#!/usr/bin/env bash
# Build the wheel (warnings as errors), install it and run the tests on
# CPython 3.12, then 3.11 and 3.13 when present; then check the type stubs
# against the 3.12 installation with mypy's stubtest. KORVO_TEST_PYTHONS
# overrides the list ("3.12 3.13"); extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

failed=()
for ver in ${KORVO_TEST_PYTHONS:-3.12 3.11 3.13}; do
    if ! py="$(korvo_find_python "$ver")"; then
        if [[ "$ver" == 3.12 ]]; then echo "CPython 3.12 not found (set KORVO_PYTHON)" >&2; exit 1; fi
        echo "=== Python $ver: not found, skipped"
        continue
    fi
    echo "=== Python $ver: $py"
    # A subshell per version keeps each venv's PATH apart; errexit holds
    # inside it only when it is not part of a condition, hence set +e here.
    set +e
    (
        set -e
        korvo_setup "$py" pytest hypothesis
        korvo_build_install -Ccmake.define.KORVO_WERROR=ON
        cd "$KORVO_ROOT"
        python -m pytest -q tests "$@"
    )
    rc=$?
    set -e
    (( rc == 0 )) || failed+=("$ver")
done

if [[ " ${KORVO_TEST_PYTHONS:-3.12} " == *" 3.12 "* ]]; then
    echo "=== stubtest: Python 3.12"
    set +e
    (
        set -e
        export PATH="${KORVO_VENVS:-$KORVO_ROOT/.venvs}/3.12/bin:$PATH"
        python -m pip install "${KORVO_PIP[@]}" "mypy>=2.4,<3"
        # Run outside the repository so that only the installed package,
        # stubs included, is on mypy's search path.
        cd "$(python -c 'import sys; print(sys.prefix)')"
        python -m mypy.stubtest korvo.datastructures \
            --allowlist "$KORVO_ROOT/scripts/stubtest-allowlist.txt"
    )
    rc=$?
    set -e
    (( rc == 0 )) || failed+=("3.12 (stubtest)")
fi

if (( ${#failed[@]} )); then
    echo "=== FAILED on Python ${failed[*]}" >&2
    exit 1
fi
echo "=== all passed"
