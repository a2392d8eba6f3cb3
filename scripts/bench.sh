#!/usr/bin/env bash
# Builds a release tree and runs every benchmark program; each prints its figures and the
# ratio against its baseline. Extra arguments are passed to every benchmark.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
dir="$here/build/bench"
"$here/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
for program in "$dir"/bin/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$@"
done
