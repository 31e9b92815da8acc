#!/usr/bin/env bash
# Builds the fuzz targets (build-fuzz/, clang) and runs each for a bounded
# time over a copy of its seed corpus in fuzz/corpus/, two at a time.
#   tools/fuzz.sh [seconds per target, default 60] [target...]
# Inputs that fail are kept in build-fuzz/findings/.
# Fails on a crash, a failed check, a leak, a timeout or a sanitizer report,
# and names the input that caused it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
all=(regedit_file_fuzz splitter_fuzz envelope_fuzz pop3_reply_fuzz mail_list_fuzz)
targets=("${all[@]}")
if [ $# -gt 0 ]; then targets=("$@"); fi
# The longest input each target is given.
declare -A max_len=([regedit_file_fuzz]=4096 [splitter_fuzz]=4096 [envelope_fuzz]=2048
                    [pop3_reply_fuzz]=2048 [mail_list_fuzz]=1024)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALLOWMERE_FUZZ=ON >/dev/null
ninja -C build-fuzz "${targets[@]}"

work=$(mktemp -d "${TALLOWMERE_FUZZ_WORK:-/dev/shm}/tallowmere-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
findings=$PWD/build-fuzz/findings
mkdir -p "$findings"

run() {  # target: runs it, writes $work/<target>.log, returns its status
  local target=$1
  mkdir -p "$work/$target/corpus" "$work/$target/scratch"
  cp fuzz/corpus/"$target"/* "$work/$target/corpus/"
  TALLOWMERE_FUZZ_SCRATCH="$work/$target/scratch" \
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/bin/"$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$work/$target/corpus" \
      >"$work/$target.log" 2>&1
}

status=0
report() {  # target, exit status
  local target=$1 code=$2
  grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target.log" | sed "s/^/$target: /" || true
  if [ "$code" -ne 0 ]; then
    status=1
    echo "FAILED: $target (exit $code)"
    grep -E 'ERROR|check failed|SUMMARY|Test unit written to' "$work/$target.log" || tail -20 "$work/$target.log"
  fi
}

echo "== Fuzzing ${#targets[@]} targets, ${seconds}s each, two at a time"
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  first=${targets[i]}
  second=${targets[i + 1]:-}
  run "$first" & first_pid=$!
  if [ -n "$second" ]; then run "$second" & second_pid=$!; fi
  first_code=0; wait "$first_pid" || first_code=$?
  report "$first" "$first_code"
  if [ -n "$second" ]; then
    second_code=0; wait "$second_pid" || second_code=$?
    report "$second" "$second_code"
  fi
done
exit "$status"
