#!/usr/bin/env bash
# Every test: installs the packages, checks that includes run only downward between the
# folders, then builds and runs the whole ctest suite twice, once in a normal build and once
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
jobs=$(nproc)
status=0
echo "== include directions"
python3 "$here/scripts/check-layers.py" || status=1
for kind in normal sanitize; do
  dir="$here/build/test-$kind"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  # The page tests run a browser on the sources alone; once is enough.
  skip=()
  [ "$kind" = sanitize ] && skip=(-LE page)
  # The tests' own code is compiled with less optimisation and debug information than the
  # product: it runs once per case, and line numbers are all a report needs.
  [ "$kind" = normal ] && opts+=("-DQV_TEST_CODE_FLAGS=-O1 -g1")
  # The product and the benchmarks are optimised as the release build is, so that the tests
  # run what ships and the warnings only that optimisation gives (an error here) show.
  [ "$kind" = normal ] && opts+=("-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O3 -g -DNDEBUG"
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O3 -g -DNDEBUG")
  # The sanitizer build is for the tests alone: no benchmarks, and less optimisation and debug
  # information than the normal build (line numbers are all a report needs), so it compiles
  # faster.
  [ "$kind" = sanitize ] && opts+=(-DQV_SANITIZE=ON -DQV_BUILD_BENCHMARKS=OFF
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
  echo "== $kind build"
  "$here/scripts/build.sh" "$dir" "${opts[@]}"
  echo "== $kind tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300 "${skip[@]}") || status=1
done
# The parsers of untrusted files are fuzzed for a bounded time in a clang build.
dir="$here/build/test-fuzz"
echo "== fuzz build"
# Only the fuzz programs and what they link are built: the hosts and the desktop back end are
# not fuzzed, and compiling them a third time would only lengthen the run.
CC=clang CXX=clang++ cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCHMARKS=OFF -DQV_BUILD_FUZZERS=ON >/dev/null
fuzz_targets=()
for source in "$here"/tests/fuzz/*Fuzz.cpp; do fuzz_targets+=("$(basename "$source" .cpp)"); done
cmake --build "$dir" --target "${fuzz_targets[@]}" -- -j"$jobs"
# CUserData's session accessors are compiled into the product and the user-data library on
# purpose (both export them), which ASan's one-definition check would report.
export ASAN_OPTIONS=detect_leaks=1:detect_odr_violation=0
for fuzzer in "$dir"/bin/*Fuzz; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer" Fuzz)
  corpus="$dir/corpus-$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$here/tests/fuzz/corpus/$name" ] && seeds=("$here/tests/fuzz/corpus/$name")
  echo "== fuzz $name"
  "$fuzzer" -max_total_time="${QV_FUZZ_SECONDS:-20}" -timeout=10 -rss_limit_mb=1024 \
    "$corpus" "${seeds[@]}" 2>&1 | tail -n 5 || status=1
done
exit $status
