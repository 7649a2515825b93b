#!/usr/bin/env bash
# Memory-safety and crash-resistance gates, run after scripts/test.sh:
#
#   asan   build the wheel with AddressSanitizer + UBSan (CMake option
#          KORVO_SANITIZE) on CPython 3.12 and run the whole test suite
#          under it; any sanitizer report fails the run.
#   leaks  build every module against Debian's debug interpreter
#          (python3.11-dbg, installed with apt-get when missing) and run every
#          operation of the tables in tests/safety/ in a loop
#          (tests/safety/leakcheck.py), failing when sys.gettotalrefcount() or
#          the C heap keeps growing. Without a debug interpreter it falls back
#          to CPython 3.12 with tracemalloc and gc object counts.
#   fuzz   throw random operation sequences with hostile objects at every
#          module (tests/safety/fuzz.py), one subprocess per module, on the
#          sanitizer build; a crash, hang, sanitizer report, SystemError or
#          leaked object fails the run.
#
#   scripts/safety.sh [asan] [leaks] [fuzz]    (default: all three)
#
# Environment: KORVO_FUZZ_SECONDS (time per module, default 30),
# KORVO_SAFETY_DIR (work directory, default .safety/ in the repository).
# Extra pytest arguments for the asan stage: KORVO_SAFETY_PYTEST_ARGS.
set -euo pipefail
source "$(dirname "$0")/common.sh"

root="$KORVO_ROOT"
work="${KORVO_SAFETY_DIR:-$root/.safety}"
stages=("$@")
(( ${#stages[@]} )) || stages=(asan leaks fuzz)
mkdir -p "$work"

note() { echo "=== safety: $*"; }

# safety_venv DIR PYTHON PKG... : a venv of its own (never .venvs/), with PKGs.
safety_venv() {
    local dir="$1" py="$2"; shift 2
    if [[ ! -x "$dir/bin/python" ]]; then
        "$py" -m venv "$dir"
        "$dir/bin/python" -m pip install "${KORVO_PIP[@]}" --upgrade pip
    fi
    "$dir/bin/python" -m pip install "${KORVO_PIP[@]}" "$@"
}

# Sanitizer runtime settings. CPython is not instrumented and leaks at exit by
# design, so leak detection is off; PYTHONMALLOC=malloc sends every object
# allocation through malloc so that use-after-free of Python objects is seen.
sanitizer_env() {
    local libasan; libasan="$(g++ -print-file-name=libasan.so)"
    export LD_PRELOAD="$libasan"
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:detect_stack_use_after_return=0:print_summary=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
    export PYTHONMALLOC=malloc
}

# Fails when a log holds a sanitizer report (in case one was not fatal).
check_log() {
    if grep -nE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|SUMMARY: UndefinedBehaviorSanitizer" "$1" | head -5; then
        echo "sanitizer report in $1" >&2
        return 1
    fi
}

asan_venv="$work/venv-asan"
asan_wheels="$work/wheels-asan"

build_asan() {
    local py; py="$(korvo_find_python 3.12)" || { echo "CPython 3.12 not found (set KORVO_PYTHON)" >&2; exit 1; }
    note "sanitizer build with $py"
    safety_venv "$asan_venv" "$py" scikit-build-core cmake ninja "hatchling>=1.27" PyYAML pytest hypothesis
    rm -rf "$asan_wheels"
    # RelWithDebInfo: optimised, with line numbers in the sanitizer reports.
    (cd "$root" && PATH="$asan_venv/bin:$PATH" python -m pip wheel . "${KORVO_PIP[@]}" --no-deps \
        --no-build-isolation -w "$asan_wheels" -Cbuild-dir="$work/build-asan/{wheel_tag}" \
        -Ccmake.build-type=RelWithDebInfo -Ccmake.define.KORVO_SANITIZE=ON \
        -Ccmake.define.KORVO_WERROR=ON)
    "$asan_venv/bin/python" -m pip install "${KORVO_PIP[@]}" --no-deps --force-reinstall \
        "$asan_wheels"/korvo_datastructures-*.whl
    PATH="$asan_venv/bin:$PATH" "$asan_venv/bin/python" -m pip install "${KORVO_PIP[@]}" --no-deps \
        --force-reinstall --no-build-isolation "$root/support/korvo-utils"
}

stage_asan() {
    note "test suite under AddressSanitizer + UBSan"
    local log="$work/asan-tests.log" rc=0
    (
        cd "$root"
        sanitizer_env
        # The packaging tests read the wheel that was built.
        KORVO_WHEEL="$(echo "$asan_wheels"/korvo_datastructures-*.whl)"
        export KORVO_WHEEL
        # --capture=sys: a sanitizer writes its report straight to file
        # descriptor 2, which pytest's default capture would swallow when
        # the report ends the process.
        # shellcheck disable=SC2086
        exec "$asan_venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests \
            ${KORVO_SAFETY_PYTEST_ARGS:-}
    ) 2>&1 | tee "$log" || rc=$?
    (( rc == 0 )) || { echo "test suite failed under the sanitizers (exit $rc), see $log" >&2; return 1; }
    check_log "$log"
}

# The debug interpreter for the reference-leak check: Debian's python3.11-dbg.
find_debug_python() {
    local py
    for py in python3.11-dbg python3-dbg; do
        if command -v "$py" >/dev/null && "$py" -c 'import sys; assert sys.gettotalrefcount() and sys.version_info[:2] >= (3, 11)' 2>/dev/null; then
            command -v "$py"
            return 0
        fi
    done
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        echo "installing Debian's debug interpreter (python3-dbg)" >&2
        # apt's progress goes to stderr: stdout must carry only the path.
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            python3-dbg python3-venv; } >&2 || return 1
        for py in python3.11-dbg python3-dbg; do
            if command -v "$py" >/dev/null && "$py" -c 'import sys; assert sys.gettotalrefcount() and sys.version_info[:2] >= (3, 11)' 2>/dev/null; then
                command -v "$py"
                return 0
            fi
        done
    fi
    return 1
}

stage_leaks() {
    local py venv out
    if py="$(find_debug_python)"; then
        note "reference-leak check on the debug interpreter $py (sys.gettotalrefcount)"
        venv="$work/venv-dbg"
        out="$work/build-dbg"
    else
        py="$(korvo_find_python 3.12)" || { echo "CPython 3.12 not found" >&2; exit 1; }
        note "no debug interpreter: leak check on $py with tracemalloc and gc object counts"
        venv="$work/venv-leaks-3.12"
        out="$work/build-leaks-3.12"
    fi
    safety_venv "$venv" "$py" PyYAML
    # Built straight against the interpreter's own headers (for the debug
    # interpreter they define Py_DEBUG, so the module's reference counting
    # is seen by sys.gettotalrefcount).
    KORVO_DEV_ONLY= KORVO_DEV_FLAGS= bash "$root/scripts/dev-build.sh" "$out" "$venv/bin/python"
    (cd "$root" && PYTHONPATH="$out:$root/support/korvo-utils/src" \
        "$venv/bin/python" -X dev tests/safety/leakcheck.py)
}

stage_fuzz() {
    note "crash fuzzing on the sanitizer build (${KORVO_FUZZ_SECONDS:-30}s per module)"
    (
        cd "$root"
        sanitizer_env
        exec "$asan_venv/bin/python" tests/safety/fuzz.py --seconds "${KORVO_FUZZ_SECONDS:-30}" \
            --log-dir "$work/fuzz"
    )
}

start=$SECONDS
failed=()
for stage in "${stages[@]}"; do
    case "$stage" in
        asan|leaks|fuzz) ;;
        *) echo "unknown stage '$stage' (asan, leaks, fuzz)" >&2; exit 2 ;;
    esac
done
# Each stage runs in a subshell with errexit (a condition would disable it).
run_stage() {
    set +e
    ( set -e; "$@" )
    local rc=$?
    set -e
    return $rc
}
built=1
if [[ " ${stages[*]} " == *" asan "* || " ${stages[*]} " == *" fuzz "* ]]; then
    run_stage build_asan || { built=0; failed+=(sanitizer-build); }
fi
for stage in "${stages[@]}"; do
    [[ $stage == leaks || $built == 1 ]] || continue
    run_stage "stage_$stage" || failed+=("$stage")
done

note "finished in $((SECONDS - start))s"
if (( ${#failed[@]} )); then
    echo "=== safety: FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "=== safety: all passed (${stages[*]})"
