#!/usr/bin/env bash
# Installs the named Debian packages that are missing. Services that a package
# would start system-wide (a mail server on *:25 or *:110, say) are kept from
# starting, so they never stand in the way of the servers the tests start.
set -euo pipefail

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
policy=/usr/sbin/policy-rc.d
had_policy=no; [ -e "$policy" ] && had_policy=yes
if [ "$had_policy" = no ]; then
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod 755 "$policy"
  trap '"${as_root[@]}" rm -f "$policy"' EXIT
fi
echo 'postfix postfix/main_mailer_type select No configuration' | "${as_root[@]}" debconf-set-selections
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
