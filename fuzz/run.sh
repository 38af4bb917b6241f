#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#
#   fuzz/run.sh [target...]        (default: every fuzz_* target)
#
# PROBRIX_FUZZ_SECONDS   time per target (default 20)
# PROBRIX_FUZZ_BUILD     build folder (default build-fuzz beside this folder)
# PROBRIX_FUZZ_JOBS      build jobs and targets fuzzed at once (default: the number of cores)
# A crash leaves its input in <build>/fuzz-artifacts/<target>/ and makes the script fail.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${PROBRIX_FUZZ_BUILD:-$root/build-fuzz}"
seconds="${PROBRIX_FUZZ_SECONDS:-20}"
jobs="${PROBRIX_FUZZ_JOBS:-$(nproc)}"
cc="${CC:-clang-14}"
cxx="${CXX:-clang++-14}"

# A build folder already configured for fuzzing (./test's, which also holds the tests) is
# used as it is; otherwise a fuzz-only one is configured.
if ! grep -qs '^PROBRIX_FUZZ:BOOL=ON$' "$build/CMakeCache.txt"; then
  CC="$cc" CXX="$cxx" cmake -S "$root" -B "$build" -G Ninja -DPROBRIX_FUZZ=ON \
    -DPROBRIX_BUILD_GUI=OFF -DPROBRIX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
fi
cmake --build "$build" -j"$jobs" --target fuzz_all

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$here"/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# fuzz NAME: runs one target for the set time; its output goes to <build>/fuzz-<name>.log.
fuzz() {
  local target=$1 name=${1#fuzz_}
  local work="$build/fuzz-corpus/$name"       # new inputs go here, the checked-in seeds stay small
  local artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$work" "$artifacts"
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$here/corpus/$name" >"$build/fuzz-$name.log" 2>&1
}

# Targets run $jobs at a time; each result is reported when it ends.
declare -A running=()
failed=()
report() {
  local pid=$1 status=$2 target=${running[$1]} name=${running[$1]#fuzz_}
  unset "running[$pid]"
  if [ "$status" -eq 0 ]; then
    echo "== $target: $(grep -E "stat::number_of_executed_units" "$build/fuzz-$name.log" |
      awk '{print $2}') runs, $(grep -E "stat::new_units_added" "$build/fuzz-$name.log" |
      awk '{print $2}') new inputs"
  else
    echo "!! $target failed; input in $build/fuzz-artifacts/$name, log in $build/fuzz-$name.log"
    tail -n 40 "$build/fuzz-$name.log"
    failed+=("$target")
  fi
}
echo "== fuzzing ${#targets[@]} targets, ${seconds}s each, ${jobs} at a time"
for target in "${targets[@]}"; do
  while [ "${#running[@]}" -ge "$jobs" ]; do
    status=0
    wait -n -p done_pid || status=$?
    report "$done_pid" "$status"
  done
  fuzz "$target" &
  running[$!]=$target
done
while [ "${#running[@]}" -gt 0 ]; do
  status=0
  wait -n -p done_pid || status=$?
  report "$done_pid" "$status"
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets with findings: ${failed[*]}"
  exit 1
fi
echo "all fuzz targets ran ${seconds}s without a finding"
