#!/usr/bin/env bash
# The gateway (its own SMTP dialect and smtpmode "standard") against fetchmail
# between Dovecot and Postfix on this machine:
# installs what is missing, builds the Release programs in build-bench and
# runs bench/side_by_side.cc (1,000 messages of 4 KB, 20 of 5 MB). Needs
# root, as the servers do. Arguments go to the program:
#   bench/side_by_side.sh [--rounds N] [--only small|large|empty] [--quillon PATH]
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev libncurses-dev \
  dovecot-pop3d postfix fetchmail time

# -O2: GCC 12 warns falsely (-Wrestrict) at -O3, and warnings are errors.
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
ninja -C build-bench quillon side_by_side >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "temporary directory $(df -PT "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2 " on " $1}')"
exec build-bench/bin/side_by_side "$@"
