#!/usr/bin/env bash
# Builds the Debian package tallowmere_<version>_amd64.deb in the
# repository's root (Release build in build-deb/, optimised at -O2 like the
# Windows build: GCC 12 warns falsely (-Wrestrict) at -O3, and warnings are
# errors), with Debian's hardening flags, then checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_packages.sh cmake ninja-build g++ libncurses-dev libssl-dev dpkg-dev lintian \
  nlohmann-json3-dev

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
launcher=(); ! command -v ccache >/dev/null || launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOWMERE_TESTS=OFF "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
nice ninja -C build-deb -j"$(nproc)"
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/tallowmere_*_amd64.deb)
cp "$deb" .
deb=$(basename "$deb")
echo "== $deb"
# Tags left are explained in the README (Installing).
lintian --fail-on error,warning "$deb"
