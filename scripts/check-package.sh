#!/bin/sh
# Checks a Debian package of Pelloric: its file list and dependencies, lintian (no error and no
# warning), its desktop entry and AppStream metadata, that no placeholder address is left,
# that apt can install it, and that the unpacked programs run: pelloric-run reports on a WIM
# made with wimlib-imagex, in Chinese and in English.
#   scripts/check-package.sh build/pelloric_2.0.17_amd64.deb
set -eu
deb=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-package: $*" >&2
    exit 1
}

# Files: the programs, the mount helper beside them, desktop entry, icon, metadata, man pages,
# the copyright file and the changelog, and nothing outside /usr.
metainfo=usr/share/metainfo/local.pelloric.Pelloric.metainfo.xml
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in usr/bin/pelloric usr/bin/pelloric-run usr/bin/pelloric-mount-helper \
    usr/share/applications/pelloric.desktop usr/share/icons/hicolor/scalable/apps/pelloric.svg \
    "$metainfo" usr/share/doc/pelloric/copyright usr/share/doc/pelloric/changelog.gz \
    usr/share/man/man1/pelloric.1.gz usr/share/man/man1/pelloric-run.1.gz \
    usr/share/man/man1/pelloric-mount-helper.1.gz; do
    grep -qx "\./$f" "$work/files" || fail "the package lacks /$f"
done
if grep -v -e '^\./usr/' -e '^\./$' "$work/files"; then
    fail "files outside /usr"
fi

# Dependencies: libwim, hivex, Qt widgets (from the libraries), FUSE, a CJK font, Qt's
# translations and platform plugins.
depends=$(dpkg-deb -f "$deb" Depends)
for d in libwim15 libhivex0 libqt6widgets6 fuse fonts-wqy-microhei qt6-translations-l10n \
    qt6-qpa-plugins; do
    echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' | grep -qx "$d" ||
        fail "Depends lacks $d: $depends"
done
# lintian: no error and no warning (informational notes are shown, not failed on).
lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || {
    cat "$work/lintian" >&2
    fail "lintian found errors or warnings"
}
grep -v '^running with root privileges' "$work/lintian" || true

apt-get install --simulate "$deb" >"$work/apt" 2>&1 || {
    cat "$work/apt" >&2
    fail "apt cannot install the package"
}

dpkg-deb -x "$deb" "$work/root"
root=$work/root
out=$(desktop-file-validate "$root/usr/share/applications/pelloric.desktop" 2>&1) ||
    fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
appstreamcli validate --no-net "$root/$metainfo"
# No placeholder address: not in the control file, the metadata, the desktop entry, the man
# pages or the programs (the About page).
dpkg-deb -I "$deb" control >"$work/control"
if grep -rl -e 'example\.org' -e 'example\.com' "$work/control" "$root"; then
    fail "a placeholder address is left in the files above"
fi
appstreamcli validate-tree --no-net "$root"
for page in pelloric pelloric-run; do
    man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" ||
        fail "man page $page does not render"
done

# The unpacked programs run.
mkdir -p "$work/tree/sub"
echo "hello" >"$work/tree/a.txt"
echo "world" >"$work/tree/sub/b.txt"
wimlib-imagex capture "$work/tree" "$work/check.wim" "Check image" --compress=maximum >/dev/null
LC_ALL=C "$root/usr/bin/pelloric-run" report infoSource="$work/check.wim" >"$work/zh.txt"
grep -q "映像数:	1" "$work/zh.txt" || fail "Chinese report: $(cat "$work/zh.txt")"
grep -q "Check image" "$work/zh.txt" || fail "report lacks the image name: $(cat "$work/zh.txt")"
LC_ALL=en_US.UTF-8 "$root/usr/bin/pelloric-run" report infoSource="$work/check.wim" >"$work/en.txt"
grep -q "Images:	1" "$work/en.txt" || fail "English report: $(cat "$work/en.txt")"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/pelloric" --help | grep -q "usage: pelloric" ||
    fail "pelloric --help"
echo "check-package: $(basename "$deb") is fine"
