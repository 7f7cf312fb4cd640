#!/usr/bin/env bash
# The Debian package as an administrator meets it: dpkg-buildpackage builds it
# and its debug symbols from a copy of the source, lintian finds no error and
# no hardening warning, and in a fresh bookworm root (debootstrap, made once
# in /var/cache/kqsd-tests, used through an overlay) it installs with its
# account and LP tree, upgrades keeping queues and kqsd.ini, and purges.
#   package_test.sh SOURCE_DIR WORK_DIR      (as root)
set -euo pipefail
work=$2
fail() { echo "FAILED: $*" >&2 && exit 1; }
if [[ ${KQS_PACKAGE_NS:-} != 1 ]]; then  # the overlay's mounts go with the namespace
  rm -rf "$work" && mkdir -p "$work/src"
  tar -C "$1" --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$work/src" -xf -
  KQS_PACKAGE_NS=1 exec unshare --mount --propagation private "$0" "$@"
fi
cd "$work/src"
DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b >../build.log 2>&1 ||
  { tail -n 40 ../build.log; fail dpkg-buildpackage; }
cd "$work" && deb=$(echo kqsd_*.deb)
[[ -f $deb && -f $(echo kqsd-dbgsym_*deb) ]] || fail "no package and debug symbols package: $(ls)"
lintian --fail-on error kqsd_*.changes >lintian.log 2>&1 || { cat lintian.log; fail lintian; }
! grep ': hardening-' lintian.log || fail "lintian hardening warnings"

cache=/var/cache/kqsd-tests/bookworm
if [[ ! -e $cache/.complete ]]; then
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  rm -rf "$cache.new" && mkdir -p "$cache.new"
  debootstrap --variant=minbase --include=adduser,cups-daemon,init-system-helpers bookworm "$cache.new" \
    "${mirror:-http://deb.debian.org/debian}" >debootstrap.log 2>&1 || { tail debootstrap.log; fail debootstrap; }
  touch "$cache.new/.complete" && rm -rf "$cache" && mv "$cache.new" "$cache"
fi
root=$work/root lp=$work/root/var/lib/kqsd/lp && mkdir -p root upper overlay-work
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$work/upper,workdir=$work/overlay-work" root && mount -t proc proc root/proc
in_root() { chroot "$root" "$@"; }
apt_in_root() {
  DEBIAN_FRONTEND=noninteractive in_root apt-get -y -q "$@" >>apt.log 2>&1 || { tail -n 30 apt.log; fail "apt-get $*"; }
}

# Install: the account alone in lpadmin, kqsd.ini a root:kqsd 0640 conffile,
# the tree laid out, the unit enabled.
cp "$deb" root/tmp/ && apt_in_root install "/tmp/$deb"
in_root id -nG kqsd | grep -qw lpadmin || fail "kqsd is not in lpadmin"
! in_root id -nG lp | grep -qw lpadmin || fail "lp is in lpadmin"
[[ $(in_root stat -c '%U:%G %a' /etc/kqsd/kqsd.ini) == "root:kqsd 640" ]] || fail "kqsd.ini is not root:kqsd 0640"
in_root dpkg-query -W -f='${Conffiles}' kqsd | grep -q ' /etc/kqsd/kqsd.ini ' || fail "kqsd.ini is no conffile"
in_root test -x /var/lib/kqsd/lp/usr/lib/accept && [[ $(cat "$lp/etc/lp/cups-server") == default &&
  $(in_root stat -c %U /var/lib/kqsd/lp/etc/lp/interfaces /var/lib/kqsd/rerar.ini) == $'kqsd\nkqsd' ]] ||
  fail "no LP tree of kqsd's driving CUPS under /var/lib/kqsd/lp, or no rerar.ini"
[[ -L root/etc/systemd/system/multi-user.target.wants/kqsd.service ]] || fail "the unit is not enabled"

# A queue and a password kept over an upgrade (the same package, a later
# version), a lost tree program put back.
in_root install -o kqsd -g lp -m 0755 /dev/null /var/lib/kqsd/lp/etc/lp/interfaces/lab && rm "$lp/usr/lib/accept"
echo "Passwd=zQkeepthis123" >>root/etc/kqsd/kqsd.ini
dpkg-deb -R "$deb" next && sed -i 's/^Version: .*/&+next/' next/DEBIAN/control
dpkg-deb -b next root/tmp/kqsd_next.deb >/dev/null && apt_in_root install /tmp/kqsd_next.deb
[[ $(in_root dpkg-query -W -f='${Version}' kqsd) == *+next ]] || fail "not upgraded"
[[ -f $lp/etc/lp/interfaces/lab ]] && grep -q zQkeepthis123 root/etc/kqsd/kqsd.ini || fail "a queue or kqsd.ini lost"
in_root test -x /var/lib/kqsd/lp/usr/lib/accept || fail "the upgrade did not refresh the LP tree"

# Purge: the account, the tree and the settings go; CUPS's group stays.
apt_in_root purge kqsd
! in_root getent passwd kqsd && ! in_root getent group kqsd || fail "the account stays"
for f in /var/lib/kqsd /etc/kqsd /usr/lib/cups/backend/lpif /usr/lib/kqsd; do [[ ! -e root$f ]] || fail "$f stays"; done
in_root getent group lpadmin >/dev/null || fail "purge removed lpadmin"
echo "package test passed"
