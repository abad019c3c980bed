#!/bin/sh
# Configures and builds Pelloric into the folder given (default: build).
# Extra arguments go to CMake's configure step.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S "$here" -B "$here/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$here/$dir" -j"$(nproc)"
