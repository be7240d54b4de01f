#!/usr/bin/env bash
# Builds tunezap and runs it: scripts/run.sh [box value channel], by default 1 5 123.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release -B build-run -DTUNEZAP_TESTS=OFF >/dev/null
cmake --build build-run --target tunezap >/dev/null
if [ $# -eq 0 ]; then set -- 1 5 123; fi
exec build-run/tunezap "$@"
