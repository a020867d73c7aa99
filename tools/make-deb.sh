#!/usr/bin/env bash
# Makes the Debian package of a build folder (make deb): BUILD/shardex_VERSION_ARCH.deb,
# then prints lintian's report on it when lintian is installed.
set -euo pipefail
build=${1:-build}
rm -f "$build"/shardex_*.deb
(cd "$build" && cpack -G DEB) > "$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/shardex_*.deb)
echo "made $deb ($(dpkg-deb -f "$deb" Installed-Size) KiB installed)"
echo "install it with: sudo apt install ./$deb"
if command -v lintian > /dev/null; then
  echo "lintian:"
  lintian --info --tag-display-limit 0 "$deb" 2>&1 | sed 's/^/  /' || true
fi
