#!/usr/bin/env bash
# Installs what building needs (only that: scripts/deps.sh build), builds
# the tool and runs it with the given arguments (default: one measurement
# on the simulated bus).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVDS_BUILD_TESTS=OFF -DQVDS_BUILD_BENCH=OFF >/dev/null
cmake --build build-release --target qvds18x20_cli >/dev/null
(($#)) || set -- read
exec build-release/tools/qvds18x20/qvds18x20 "$@"
