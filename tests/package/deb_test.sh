#!/usr/bin/env bash
# The Debian package as a user gets it: made with CPack from the build, installed with dpkg
# on this computer, each program run from /usr/bin, what the desktop needs found in place,
# lintian without an error; then removed, leaving the computer as it was.
# usage: deb_test.sh BUILD VERSION PROGRAM...   (exit 77: skipped, with the reason)
set -euo pipefail
build=$1 version=$2
shift 2
programs=("$@")
skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "installing the package needs root (CI runs as root); make deb, then sudo apt install ./$build/shardex_*.deb"
command -v dpkg > /dev/null || skip "this computer has no dpkg"
dpkg-query -W -f='${Status}' shardex 2>/dev/null | grep -q installed &&
  skip "a shardex package is installed here already: the test would replace it"
for p in "${programs[@]}"; do
  [[ ! -e /usr/bin/$p ]] || skip "/usr/bin/$p exists (an install from the source?): the test would remove it"
done

work=$(mktemp -d)
installed=0
cleanup() {
  if ((installed)); then dpkg --purge shardex > "$work/purge.log" 2>&1 || cat "$work/purge.log"; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/out") > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/shardex_"$version"_*.deb)
installed=1
dpkg -i "$deb" > "$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }

# Each program answers from /usr/bin, with no display, in its own name and the project's version.
for p in "${programs[@]}"; do
  got=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$p" --version 2>&1 | tail -n 1) || true
  [[ ${got,,} == "$p $version" ]] || fail "/usr/bin/$p --version printed '$got', not '$p $version'"
  [[ -f /usr/share/man/man1/$p.1.gz ]] || fail "no manual page for $p"
  [[ -z $(man --warnings -l "/usr/share/man/man1/$p.1.gz" 2>&1 > /dev/null) ]] || fail "the manual page of $p has faults"
done

# What the desktop and the help need, where they look for it.
for f in applications/shardex.desktop icons/hicolor/scalable/apps/shardex.svg shardex/help/index.html \
         shardex/help/window.png metainfo/example.larkspurworks.Shardex.metainfo.xml doc/shardex/copyright; do
  [[ -s /usr/share/$f ]] || fail "/usr/share/$f is missing"
done
for size in 16 22 24 32 48 64 128 256; do
  icon=/usr/share/icons/hicolor/${size}x$size/apps/shardex.png
  [[ $(file -b "$icon" 2>&1) == "PNG image data, $size x $size,"* ]] || fail "$icon is not a $size-pixel PNG"
done
grep -qx 'Exec=shardex %f' /usr/share/applications/shardex.desktop || fail "the desktop entry does not open files with shardex"
if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate /usr/share/applications/shardex.desktop || fail "desktop-file-validate"
fi
if command -v appstreamcli > /dev/null; then
  appstreamcli validate --no-net /usr/share/metainfo/example.larkspurworks.Shardex.metainfo.xml > "$work/as.log" 2>&1 ||
    { cat "$work/as.log"; fail "appstreamcli validate"; }
fi

# The agent's user unit starts the installed agent and keeps every other setting of the
# source's unit.
unit=/usr/lib/systemd/user/shardex-agent.service
grep -qx 'ExecStart=/usr/bin/shardex-agent --headless' "$unit" || fail "$unit does not start /usr/bin/shardex-agent --headless"
source_unit=$(dirname "$0")/../../tools/shardex-agent.service
while IFS= read -r line; do
  grep -qxF -- "$line" "$unit" || fail "$unit lacks '$line' of tools/shardex-agent.service"
done < <(sed -n '/^\[Unit\]/,$p' "$source_unit" | grep -v -e '^ExecStart=' -e '^#' -e '^$')

# The installed window starts and draws itself (its libraries and Qt's plugins are there).
mkdir -p "$work/home"
HOME=$work/home QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
  timeout 60 /usr/bin/shardex --screenshot "$work/window.png" --delay 300 > "$work/window.log" 2>&1 || true
[[ -s $work/window.png ]] || { cat "$work/window.log"; fail "the installed shardex did not show its window"; }

if command -v lintian > /dev/null; then
  lintian --tag-display-limit 0 "$deb" > "$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  ! grep -q '^E: ' "$work/lintian.log" || fail "lintian reports errors"
fi

dpkg --purge shardex > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
installed=0
for p in "${programs[@]}"; do [[ ! -e /usr/bin/$p ]] || fail "/usr/bin/$p is left after the package's removal"; done
[[ ! -e /usr/share/shardex ]] || fail "/usr/share/shardex is left after the package's removal"
((failures == 0)) || exit 1
echo "the package installs, runs and goes: ${programs[*]}"
