#!/usr/bin/env bash
# Build and install the package for CPython 3.12, then run the demo.
set -euo pipefail
source "$(dirname "$0")/common.sh"

py="$(korvo_find_python 3.12)" || { echo "CPython 3.12 not found (set KORVO_PYTHON)" >&2; exit 1; }
korvo_setup "$py"
korvo_build_install -Ccmake.define.KORVO_WERROR=OFF
cd "$KORVO_ROOT"
exec python demo/demo.py "$@"
