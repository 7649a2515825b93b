# Shared setup for the scripts in this folder; source it, don't run it.
#   korvo_find_python VER         print a working CPython VER interpreter
#   korvo_setup PY [PKG...]       venv .venvs/<ver> with build tools and PKGs
#   korvo_build_install [-C...]   build the wheel into build/wheels/<tag>,
#                                 install it and the korvo.utils stand-in
# A script that must not share them with the others (it may run at the same
# time) sets KORVO_VENVS (default .venvs) and KORVO_BUILD (default build,
# relative to the repository) before calling these.
set -euo pipefail

KORVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KORVO_PIP=(--disable-pip-version-check -q)

korvo_find_python() {
    local ver="$1" cand
    local -a cands=("python$ver")
    if [[ "$ver" == 3.12 && -n "${KORVO_PYTHON:-}" ]]; then
        cands=("$KORVO_PYTHON")
    elif command -v pyenv >/dev/null; then
        cands+=("$(pyenv root)"/versions/"$ver"*/bin/python"$ver")
    fi
    for cand in "${cands[@]}"; do
        # pyenv installs a shim for every version it has, but a shim fails
        # unless its version is selected: check that the candidate runs.
        if "$cand" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$ver'" 2>/dev/null; then
            command -v "$cand"
            return 0
        fi
    done
    return 1
}

korvo_setup() {
    local py="$1"; shift
    local ver; ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    KORVO_VENV="${KORVO_VENVS:-$KORVO_ROOT/.venvs}/$ver"
    if [[ ! -x "$KORVO_VENV/bin/python" ]]; then
        "$py" -m venv "$KORVO_VENV"
        "$KORVO_VENV/bin/python" -m pip install "${KORVO_PIP[@]}" --upgrade pip
    fi
    export PATH="$KORVO_VENV/bin:$PATH"
    python -m pip install "${KORVO_PIP[@]}" scikit-build-core cmake ninja "hatchling>=1.27" PyYAML "$@"
}

korvo_build_install() {
    local tag; tag="$(python -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
    local build="${KORVO_BUILD:-build}"
    local out="$KORVO_ROOT/$build/wheels/$tag"
    rm -rf "$out"
    (cd "$KORVO_ROOT" && python -m pip wheel . "${KORVO_PIP[@]}" --no-deps --no-build-isolation \
        -w "$out" -Cbuild-dir="$build/{wheel_tag}" "$@")
    export KORVO_WHEEL; KORVO_WHEEL="$(echo "$out"/korvo_datastructures-*.whl)"
    python -m pip install "${KORVO_PIP[@]}" --no-deps --force-reinstall "$KORVO_WHEEL"
    python -m pip install "${KORVO_PIP[@]}" --no-deps --force-reinstall --no-build-isolation \
        "$KORVO_ROOT/support/korvo-utils"
}
