#!/bin/sh
# Builds Pelloric into the folder given (default: build) and runs every test through ctest.
# Widget tests run offscreen. Extra arguments go to CMake's configure step.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
[ $# -gt 0 ] && shift
"$here/scripts/build.sh" "$dir" "$@"
cd "$here/$dir"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 60
