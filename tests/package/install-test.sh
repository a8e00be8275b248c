#!/usr/bin/env bash
# The package as a new user gets it: on a fresh minimal Debian 12 (debootstrap
# --variant=minbase), `apt-get install ./quelmix-host_*.deb` must pull every dependency
# (recommends left out, so Depends alone must be enough), both programs answer --version and
# --help, a headless host on a private Xvfb admits quelmix-companion, whose PNG must show the
# screen's colour, and `apt-get remove` must leave none of the package's files behind.
#
#   tests/package/install-test.sh PACKAGE.deb [--from DIR] [--keep DIR]
#   tests/package/install-test.sh --bootstrap DIR
#
# --bootstrap only makes the fresh Debian in DIR, so that CI can make it ahead, while the tests
# build; --from then takes that one (and removes it) instead of making its own. With --keep,
# the chroot stays in DIR (unmounted) with the package installed again, and the PNG is
# DIR/screen.png. Needs root (debootstrap, chroot) and Debian's archive ($QUELM_DEBIAN_MIRROR,
# default deb.debian.org). Prints how long each step took.
set -euo pipefail

mirror=${QUELM_DEBIAN_MIRROR:-http://deb.debian.org/debian}
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "install-test: needs root (debootstrap and chroot)" >&2
  exit 1
fi

bootstrap() {
  debootstrap --variant=minbase bookworm "$1" "$mirror" >"$1.log" 2>&1 || {
    tail -n 20 "$1.log" >&2
    return 1
  }
  rm -f "$1.log"
}

if [ "${1:-}" = "--bootstrap" ]; then
  bootstrap "$(realpath -m "$2")"
  exit 0
fi

deb=$(realpath "$1")
shift
keep=""
from=""
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=$(realpath -m "$2") ;;
    --from) from=$(realpath "$2") ;;
    *) echo "install-test: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done

work=$(mktemp -d /var/tmp/quelm-install-test.XXXXXX)
root=$work/root
started=$SECONDS
step_started=$SECONDS
step() {
  echo "install-test: $(($SECONDS - step_started)) s" >&2
  step_started=$SECONDS
  echo "install-test: == $*" >&2
}

# Whatever still runs inside the chroot is ours: stopped by its pid before the mounts go.
cleanup() {
  local status=$?
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then
      kill -KILL "${proc#/proc/}" 2>/dev/null || true
    fi
  done
  for mount in "$root/dev/ptmx" "$root/dev/pts" "$root/proc"; do
    if mountpoint -q "$mount" 2>/dev/null; then umount "$mount"; fi
  done
  if [ -n "$keep" ] && [ "$status" -eq 0 ]; then
    rm -rf "$keep"
    mv "$root" "$keep"
  fi
  rm -rf --one-file-system "$work"
  echo "install-test: $([ "$status" -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s" >&2
  exit "$status"
}
trap cleanup EXIT

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
as_user() { chroot --userspec=tester:tester "$root" /usr/bin/env -i PATH=/usr/bin:/bin \
  HOME=/home/tester LANG=C.UTF-8 "$@"; }

if [ -n "$from" ]; then
  step "the fresh Debian made ahead in $from"
  mv "$from" "$root"
else
  step "debootstrap --variant=minbase bookworm from $mirror"
  bootstrap "$root"
fi
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Nothing installed here may start a system service.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"
# Pseudo-terminals of the chroot's own, for the host run on a terminal.
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
in_root useradd --create-home --shell /bin/bash tester

step "apt-get install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log" >&2; exit 1; }
before=$(in_root dpkg-query -W -f '${binary:Package}\n' | sort)
in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" \
  >>"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; exit 1; }
pulled=$(comm -13 <(echo "$before") <(in_root dpkg-query -W -f '${binary:Package}\n' | sort))
echo "install-test: the package pulled $(echo "$pulled" | wc -l) packages" >&2
in_root dpkg-query -L quelmix-host | while read -r path; do
  if [ -f "$root$path" ] || [ -L "$root$path" ]; then echo "$path"; fi
done >"$work/files"
echo "install-test: the package installed $(wc -l <"$work/files") files" >&2

step "--version and --help"
version=$(dpkg-deb --field "$deb" Version)
for program in quelmix-host quelmix-companion; do
  test "$(as_user "$program" --version)" = "$program $version"
  as_user "$program" --help >"$work/help"
  grep -q "Usage: $program" "$work/help"
done
grep -qx /usr/bin/quelmix-host "$work/files"
grep -q '^ExecStart=/usr/bin/quelmix-host$' "$root/usr/lib/systemd/user/quelmix-host.service"

step "a headless host on a private Xvfb admits quelmix-companion"
# The test's own tools, not the package's: an X server and a way to paint its screen.
in_root apt-get install -y -q --no-install-recommends xvfb x11-xserver-utils \
  >>"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; exit 1; }
cp "$here/headless-session.sh" "$root/tmp/"
# In a network namespace of its own: the loopback the companion uses, and X's abstract sockets,
# are then this test's alone, apart from the machine's own X servers and ports.
unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh \
  chroot --userspec=tester:tester "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/home/tester \
  LANG=C.UTF-8 bash /tmp/headless-session.sh /tmp/screen.png
cp "$root/tmp/screen.png" "$work/screen.png"
python3 "$here/png-colour.py" "$work/screen.png" 51 102 204

step "apt-get remove leaves none of the package's files behind"
in_root apt-get remove -y -q quelmix-host >>"$work/apt.log" 2>&1
left=0
while read -r path; do
  if [ -e "$root$path" ] || [ -L "$root$path" ]; then
    echo "install-test: left behind: $path" >&2
    left=1
  fi
done <"$work/files"
status=$(in_root dpkg-query -W -f '${db:Status-Status}' quelmix-host 2>/dev/null || true)
if [ -n "$status" ] && [ "$status" != "not-installed" ]; then
  echo "install-test: dpkg still knows the package as $status" >&2
  left=1
fi
test "$left" -eq 0
if [ -n "$keep" ]; then
  in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" \
    >>"$work/apt.log" 2>&1
  cp "$work/screen.png" "$root/screen.png"
fi
step "done"
