#!/usr/bin/env bash
# Builds a release tree and runs the benchmark programs; each prints its figures and the
# ratio against its baseline.
#   scripts/bench.sh                     every benchmark with its defaults
#   scripts/bench.sh engine qvf          only bench_engine and bench_qvf
#   scripts/bench.sh engine -- --runs 1  arguments after -- go to every benchmark run
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
names=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then
    shift
    break
  fi
  names+=("$1")
  shift
done
"$here/scripts/install-deps.sh"
dir="$here/build/bench"
"$here/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
if [ ${#names[@]} -eq 0 ]; then
  for program in "$dir"/bin/bench_*; do
    [ -x "$program" ] && names+=("$(basename "$program" | sed 's/^bench_//')")
  done
fi
status=0
for name in "${names[@]}"; do
  program="$dir/bin/bench_$name"
  if [ ! -x "$program" ]; then
    echo "no benchmark named $name" >&2
    status=2
    continue
  fi
  echo "== bench_$name"
  "$program" "$@" || status=$?
done
exit "$status"
