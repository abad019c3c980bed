#!/bin/sh
# Installs what Pelloric needs to build, run and test on Debian 12 (run as root).
set -e
export DEBIAN_FRONTEND=noninteractive
PACKAGES="build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-l10n-tools qt6-translations-l10n
  libwim-dev wimtools libhivex-dev libhivex-bin fuse exfat-fuse exfatprogs
  fonts-wqy-microhei
  dpkg-dev file desktop-file-utils appstream man-db lintian
  libgtest-dev libgmock-dev
  p7zip-full binutils-mingw-w64-x86-64 binutils
  clang libclang-rt-14-dev
  xvfb xauth
  dbus-bin dbus-daemon"
# clang-tidy for the static checks of .ci/run.
PACKAGES="$PACKAGES clang-tidy"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi
