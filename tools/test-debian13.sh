#!/usr/bin/env bash
# Builds (warnings as errors) and runs the tests inside a Debian 13 (trixie) chroot, to check
# the newer FFmpeg, Qt and compilers before users on Debian 13 meet them. The chroot is made
# once with debootstrap, from the mirror this machine's own apt sources name, and cached
# outside the source tree (DEBIAN13_ROOT, default /var/cache/shardex/debian13). Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${DEBIAN13_ROOT:-/var/cache/shardex/debian13}
suite=trixie
[[ $(id -u) -eq 0 ]] || { echo "test-debian13: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }

# The first Debian mirror this machine's apt sources name (deb822 or one-line form).
mirror=$(grep -h -E '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
  grep -v -- '-security' | sed -E 's/^URIs:[[:space:]]*//; s/^deb (\[[^]]*\] )?//' | awk '{print $1}' | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

if [[ ! -f "$root/.shardex-ready" ]]; then
  bash "$here/tools/install-deps.sh" "$here/tools/apt-packages-debian13.txt"
  echo "test-debian13: making a Debian 13 chroot in $root from $mirror (once; a few minutes)"
  rm -rf "$root"
  mkdir -p "$root"
  debootstrap --variant=minbase "$suite" "$root" "$mirror" > "$root.debootstrap.log" 2>&1 ||
    { tail -n 30 "$root.debootstrap.log"; exit 1; }
  echo "deb $mirror $suite main" > "$root/etc/apt/sources.list"
  touch "$root/.shardex-ready"
fi

# Every time: the package list grows after the chroot was made, and what is there already
# costs nothing to ask for again.
mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/tools/apt-packages.txt")
missing=$(chroot "$root" dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${wanted[@]}" 2>&1 | grep -v ' ii ' || true)
if [[ -n "$missing" ]]; then
  echo "test-debian13: installing in the chroot what the package list added since it was made"
  chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive bash -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${wanted[*]} git ca-certificates >/dev/null"
fi

# The tree as committed plus what is changed in the work tree, without build folders.
rm -rf "$root/src/shardex"
mkdir -p "$root/src/shardex"
(cd "$here" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$root/src/shardex")

# In a mount namespace of its own, so that every mount goes when the run ends. The chroot's
# root is bound onto itself: the tests that make network and mount namespaces need their
# root to be a mount point.
exec unshare --mount --propagation private bash -euo pipefail -c '
  root=$1
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/run"
  mkdir -p "$root/run/dbus"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
    bash -c "cd /src/shardex && make test WERROR=ON BUILD=build-debian13"
' _ "$root"
