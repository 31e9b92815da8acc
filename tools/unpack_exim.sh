#!/usr/bin/env bash
# Debian's Exim for the tests, unpacked into .deps/exim rather than
# installed: its package conflicts with the Postfix that the tests install.
# Adds what the unpacked program needs to run: its library libidn12 and the
# system user Debian-exim, which it is built to run as.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=.deps/exim
as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)

tools/install_packages.sh libidn12 adduser
getent passwd Debian-exim >/dev/null ||
  "${as_root[@]}" adduser --system --group --no-create-home --allow-bad-names --quiet Debian-exim
[ -x "$dest/usr/sbin/exim4" ] && exit 0

echo "Unpacking Exim into $dest"
rm -rf "$dest"
mkdir -p "$dest/debs"
download() { (cd "$dest/debs" && apt-get download -qq exim4-daemon-light exim4-base 2>/dev/null); }
download || { "${as_root[@]}" apt-get update -qq && download; }
for deb in "$dest"/debs/*.deb; do dpkg-deb -x "$deb" "$dest"; done
rm -rf "$dest/debs"
[ -x "$dest/usr/sbin/exim4" ]
