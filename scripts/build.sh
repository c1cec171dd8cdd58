#!/usr/bin/env bash
# Configures and builds Quarnel (and its tests) in build/; further arguments go to cmake's configuration
# (scripts/test.sh adds the benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build -j "$(nproc)"
