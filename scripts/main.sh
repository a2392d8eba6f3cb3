#!/usr/bin/env bash
# The main job: installs the packages, builds the release tree and runs the product on its
# embedded default (the library's version and exported entry points, through the host qvx).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
exec "$here/build/release/bin/qvx" info
