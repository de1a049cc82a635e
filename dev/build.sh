#!/usr/bin/env bash
# Incremental development build into build/NAME/tree: a tarnlet_master package made of
# symlinks to python/ plus the built extension modules. Use it with PYTHONPATH=build/NAME/tree.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: dev/build.sh NAME [TARGET...]}
shift
tree=$PWD/build/$name/tree
mkdir -p "$tree"
# Refresh the symlinks so files added to python/ since the last build are seen.
cp -rsf "$PWD/python/tarnlet_master" "$tree/"
find "$tree" -name '__pycache__' -type l -delete 2>/dev/null || true
if [ ! -f "build/$name/cmake/build.ninja" ]; then
    cmake -S . -B "build/$name/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTARNLET_OUTPUT_DIR="$tree" -DTARNLET_BUILD_TESTS=ON -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "build/$name/cmake" -j2 "${targets[@]}"
# Bytecode for the companions, as an installed package has it: with PYTHONDONTWRITEBYTECODE
# set, every kernel started from this tree would otherwise compile them again.
python -m compileall -q "$tree/tarnlet_master" >/dev/null
