#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building needs (not what the tests need: scripts/test.sh),
# builds velorand in build/release and installs it (the program, its manual
# page, and the database directory /var/db).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELORAND_TESTS=OFF
cmake --build build/release -j"$(nproc)"
cmake --install build/release
