#!/usr/bin/env bash
# Makes a minimal Debian 12 root (debootstrap: Python and venv, no FFmpeg)
# where the wheel's install test runs, and prints its path. The root is
# cached like the static FFmpeg, keyed by suite, mirror and package list.
# Usage: scripts/debian-root.sh   (needs root)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-source.sh

suite=bookworm
packages=python3,python3-venv
mirror="$(debian_mirror)"
if [ -z "$mirror" ]; then
  echo "debian-root: no Debian mirror in the apt sources" >&2
  exit 1
fi
cache="$(vantrel_cache_dir)"
mkdir -p "$cache"
exec 9>"$cache/debian-root.lock"
flock 9

key_text="debootstrap $(dpkg-query -W -f='${Version}' debootstrap) --variant=minbase --include=$packages $suite $mirror"
root="$cache/debian-root-$suite-$(printf '%s' "$key_text" | sha256sum | cut -c1-12)"
if [ -f "$root.complete" ]; then
  echo "$root"
  exit 0
fi

log="$cache/debian-root.log"
echo "debian-root: debootstrap $suite into $root (log: $log)" >&2
rm -rf "$root"
if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$mirror" >"$log" 2>&1; then
  echo "debian-root: debootstrap failed; last lines of $log:" >&2
  tail -n 20 "$log" >&2
  exit 1
fi
rm -f "$root"/var/cache/apt/archives/*.deb
printf '%s\n' "$key_text" >"$root.complete"
echo "$root"
