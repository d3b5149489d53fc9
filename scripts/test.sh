#!/usr/bin/env bash
# Builds everything from scratch with warnings as errors and runs the whole
# test suite. With VELORAND_SANITIZE=1 the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=build/test
sanitize=OFF
if [ "${VELORAND_SANITIZE:-0}" = 1 ]; then
  dir=build/sanitize
  sanitize=ON
fi
rm -rf "$dir"
cmake -S . -B "$dir" -DVELORAND_WERROR=ON -DVELORAND_BENCH=ON -DVELORAND_SANITIZE=$sanitize
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
