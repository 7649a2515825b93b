#!/usr/bin/env bash
# Fast developer build: compiles every module straight into OUTDIR with g++,
# without packaging, for quick edit-compile-test loops.
#   scripts/dev-build.sh OUTDIR [PYTHON]
# Then: PYTHONPATH=OUTDIR:support/korvo-utils/src PYTHON -m pytest tests/...
set -euo pipefail
out=${1:?usage: dev-build.sh OUTDIR [PYTHON]}
py=${2:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)
src=$root/src/korvo/datastructures
inc=$("$py" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
ext=$("$py" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
flags=(-std=c++20 -O1 -g -Wall -Wextra -Werror -fPIC -fvisibility=hidden -I"$inc" -I"$src" ${KORVO_DEV_FLAGS:-})
mkdir -p "$out/obj" "$out/korvo/datastructures"
cp "$src/__init__.py" "$out/korvo/datastructures/"
objs=()
for f in "$src"/common/*.cpp; do
    o=$out/obj/$(basename "$f" .cpp).o
    if [[ ! -f $o || $f -nt $o || -n $(find "$src/common" -name '*.hpp' -newer "$o") ]]; then
        g++ "${flags[@]}" -c "$f" -o "$o"
    fi
    objs+=("$o")
done
for f in "$src"/*.cpp; do
    m=$(basename "$f" .cpp)
    [[ $m == _* ]] && continue
    if [[ ${KORVO_DEV_ONLY:-} && ${KORVO_DEV_ONLY} != *$m* ]]; then continue; fi
    g++ "${flags[@]}" -shared "$f" "${objs[@]}" -o "$out/korvo/datastructures/$m$ext"
done
