#!/bin/sh
# Builds Pelloric into the folder given (default: build) and makes its Debian package there
# (pelloric_<version>_<arch>.deb, installing under /usr). Prints the package's path.
# Extra arguments go to CMake's configure step.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
[ $# -gt 0 ] && shift
"$here/scripts/build.sh" "$dir" "$@" >&2
cd "$here/$dir"
cpack -G DEB >&2
ls -t "$PWD"/pelloric_*.deb | head -n 1
