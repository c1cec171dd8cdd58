#!/usr/bin/env bash
# Installs what Quarnel needs, builds it and runs every test (unit tests headless, end-to-end tests
# under their own Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DQUARNEL_BENCHMARKS=ON
cd build
ctest --output-on-failure --timeout 600 -j 2
