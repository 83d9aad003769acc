#!/usr/bin/env bash
# Makes a minimal Debian root (debootstrap: Python, no FFmpeg) where the
# wheel's install test runs, and prints its path. The root is cached
# (scripts/cached-build.sh), keyed by suite, architecture, mirror and package list.
# An arm64 root is unpacked, not configured (its maintainer scripts would
# need the system to run arm64 programs): Python runs there through
# /usr/bin/qemu-aarch64-static, named on each command line, and pip
# installs with --target.
# Usage: scripts/wheel/debian-root.sh SUITE [amd64|arm64]   (needs root)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/wheel/debian-source.sh

suite="${1:?usage: $0 SUITE [amd64|arm64]}"
arch="${2:-amd64}"
case "$arch" in
  amd64) packages=python3,python3-venv; foreign="" ;;
  arm64) packages=python3,python3-pip; foreign=--foreign ;;
  *) echo "debian-root: unknown architecture '$arch' (amd64 or arm64)" >&2; exit 2 ;;
esac
mirror="$(debian_mirror)"
if [ -z "$mirror" ]; then
  echo "debian-root: no Debian mirror in the apt sources" >&2
  exit 1
fi
cached_build "debian-root-$suite-$arch" \
  "debootstrap $(dpkg-query -W -f='${Version}' debootstrap) --variant=minbase --arch=$arch $foreign --include=$packages $suite $mirror"
root="$cached"

log="$cache/debian-root-$suite-$arch.log"
echo "debian-root: debootstrap $suite ($arch) into $root (log: $log)" >&2
# shellcheck disable=SC2086
if ! debootstrap --variant=minbase --arch="$arch" $foreign --include="$packages" "$suite" "$root" "$mirror" \
     >"$log" 2>&1; then
  echo "debian-root: debootstrap failed; last lines of $log:" >&2
  tail -n 20 "$log" >&2
  exit 1
fi
if [ -n "$foreign" ]; then
  # The first stage unpacked the essential packages; the rest wait in the
  # archive folder. Unpacked, Python and pip run.
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root" >>"$log" 2>&1
  done
  fetch_package qemu-user-static amd64 "$cache/qemu-user-static" >>"$log" 2>&1
  cp "$cache/qemu-user-static/usr/bin/qemu-aarch64-static" "$root/usr/bin/"
fi
rm -f "$root"/var/cache/apt/archives/*.deb
cached_build_done
