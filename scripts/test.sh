#!/usr/bin/env bash
# Every test: installs the packages, then builds and runs the whole ctest suite twice, once
# in a normal build and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
jobs=$(nproc)
status=0
for kind in normal sanitize; do
  dir="$here/build/test-$kind"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  [ "$kind" = sanitize ] && opts+=(-DQV_SANITIZE=ON)
  echo "== $kind build"
  "$here/scripts/build.sh" "$dir" "${opts[@]}"
  echo "== $kind tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300) || status=1
done
exit $status
