#!/usr/bin/env bash
# Installs what is missing and builds velorand in build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELORAND_TESTS=OFF
cmake --build build/release -j"$(nproc)"
