#!/usr/bin/env bash
# test.sh - installs what is needed, builds, and runs every test.
# Usage: scripts/test.sh            (plain build in build/)
#        SANITIZE=1 scripts/test.sh (AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${SANITIZE:-0}" = 1 ]; then
  export BUILD_DIR=${BUILD_DIR:-$here/build-asan}
  "$here/scripts/setup.sh" -DREGISTRY_SANITIZE=ON -DREGISTRY_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
  export BUILD_DIR=${BUILD_DIR:-$here/build}
  "$here/scripts/setup.sh"
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
