#!/usr/bin/env bash
# fuzz.sh - builds the libFuzzer programs with clang into build-fuzz/ and runs each for a bounded time.
# Usage: scripts/fuzz.sh [target...]           (default: every target, FUZZ_SECONDS=5 each)
#        FUZZ_SECONDS=3600 scripts/fuzz.sh names_fuzz   (a longer run of one target)
# Each target starts from its seed corpus fuzz/corpus/<target>/ and grows a working corpus in
# build-fuzz/corpus/<target>/ (kept between runs). A crash, sanitizer report or broken property stops
# the run with a non-zero status and leaves the input as build-fuzz/artifacts/<target>-crash-*;
# replay it with: build-fuzz/fuzz/<target> build-fuzz/artifacts/<target>-crash-...
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$here/build-fuzz}
seconds=${FUZZ_SECONDS:-5}

# clang and its libFuzzer runtime come with the clang package; the normal build does not need them.
if ! command -v clang++ >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "fuzz: installing clang"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang >/dev/null
fi
CC=clang CXX=clang++ BUILD_DIR=$build "$here/scripts/setup.sh" -DREGISTRY_FUZZ=ON -DREGISTRY_BENCH=OFF

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < "$build/fuzz_targets.txt"
fi

mkdir -p "$build/artifacts"
# The targets write and read small files on every input; in memory (tmpfs) that
# runs several times faster than on disk. Each run's scratch tree goes with it.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/registry-fuzz.XXXXXX)
else
  mkdir -p "$build/tmp"
  scratch=$(mktemp -d "$build/tmp/registry-fuzz.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
  [ -n "$target" ] || continue
  seeds="$here/fuzz/corpus/$target"
  work="$build/corpus/$target"
  mkdir -p "$work"
  [ -d "$seeds" ] || { echo "fuzz: no seed corpus $seeds"; failed+=("$target"); continue; }
  dict=()
  [ -f "$here/fuzz/$target.dict" ] && dict=(-dict="$here/fuzz/$target.dict")
  echo "fuzz: $target for ${seconds}s"
  # The work corpus comes first: new inputs go there, never into the seed corpus in the source tree.
  if TMPDIR="$scratch" "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 "${dict[@]}" -artifact_prefix="$build/artifacts/$target-" "$work" "$seeds" \
       >"$build/$target.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added):' "$build/$target.log" \
      | sed "s/^/fuzz: $target /"
  else
    echo "fuzz: $target FOUND A PROBLEM (log: $build/$target.log)"
    tail -n 40 "$build/$target.log"
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"
