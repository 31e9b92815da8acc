#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds every configuration and runs
# the test suite:
#   build/       Debug build and the full suite
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, full suite
#   build-tsan/  ThreadSanitizer, the tests of the code that runs on two threads
#   build-win/   the Windows programs, cross-compiled with mingw-w64, and
#                their installer (NSIS)
#   build-fuzz/  the fuzz targets (clang), each run for a short time
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_packages.sh cmake ninja-build g++ googletest libgtest-dev libgmock-dev libfaketime \
  libncurses-dev tmux g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
  dovecot-pop3d postfix clang libclang-rt-14-dev wine64 nsis xvfb libssl-dev openssl \
  nlohmann-json3-dev socat
tools/unpack_exim.sh

jobs=$(nproc)
configure() {  # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
}

echo "== Windows build (mingw-w64)"
configure build-win -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
ninja -C build-win -j"$jobs" all windows_installer

echo "== Debug build and tests"
configure build
ninja -C build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure --timeout 300

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DTALLOWMERE_SANITIZE=address,undefined
ninja -C build-asan -j"$jobs"
# libfaketime is preloaded ahead of the sanitizer runtime in the tests of the real binary.
# The installer's and Setwick's Wine tests run once, in the Debug suite: what
# they test is the Windows build.
ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 300 \
  -E '^(InstallerUnderWineTest|SetwickUnderWineTest)\.'

echo "== ThreadSanitizer: the code that runs on two threads"
configure build-tsan -DTALLOWMERE_SANITIZE=thread
tsan_targets=(quillon control_event_log_test control_run_test keep_alive_test platform_event_log_test
              platform_lock_test)
ninja -C build-tsan -j"$jobs" "${tsan_targets[@]}"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j"$jobs" --output-on-failure --timeout 300 \
  -R '^(LogEventTest|RunTest|KeepAliveTest|EventLogTest|EventEntryTest|EventTest)\.'

echo "== Fuzzing"
# Each fuzz target for 50 s over a copy of its seed corpus, two at a time.
tools/fuzz.sh 50
