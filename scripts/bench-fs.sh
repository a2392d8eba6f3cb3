#!/usr/bin/env bash
# Mounts a journaled ext4 file system in an image file for repeatable benchmark figures, and
# prints where (as root; the machine needs loop devices).
#   scripts/bench-fs.sh            make and mount build/bench-fs (a sparse 12 GiB image in build/)
#   scripts/bench-fs.sh --remove   unmount it and delete the image
# Then: scripts/bench.sh engine -- --dir build/bench-fs --settle 0
#
# Why: on ext4 without a journal (as on some virtual machines' root file system) a deleted
# inode is not reused for 60 s, or 360 s while its inode table block is unwritten, and every
# file created meanwhile steps over all of them. Creating many files soon after deleting many
# is then several times slower, so figures of data (b) depend on what ran minutes before.
# With a journal ext4 does not do this.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
image="$here/build/bench-fs.img"
mountpoint="$here/build/bench-fs"
if [ "$(id -u)" -ne 0 ]; then
  echo "bench-fs.sh: mounting needs root" >&2
  exit 2
fi
if [ "${1:-}" = "--remove" ]; then
  if mountpoint -q "$mountpoint"; then umount "$mountpoint"; fi
  rm -f "$image"
  rmdir "$mountpoint" 2>/dev/null || true
  exit 0
fi
if [ -n "${1:-}" ]; then
  echo "usage: bench-fs.sh [--remove]" >&2
  exit 2
fi
mkdir -p "$mountpoint"
if ! mountpoint -q "$mountpoint"; then
  rm -f "$image"
  truncate -s 12G "$image"
  mkfs.ext4 -q -F "$image"
  mount -o loop "$image" "$mountpoint"
fi
echo "$mountpoint"
