#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building and testing need, builds everything (benchmarks
# included) from scratch with warnings as errors and runs the whole test
# suite. With VELORAND_SANITIZE=1 the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer; with VELORAND_NDBM=bdb, Berkeley DB's ndbm
# interface instead of GDBM's, and with VELORAND_NDBM=bsd, the 4.4BSD
# database package's, which FreeBSD's C library has. With VELORAND_PORTABLE=1
# files are opened and room allocated as on other systems than Linux: with
# VELORAND_NDBM=bsd, what FreeBSD builds.
set -euo pipefail
cd "$(dirname "$0")/.."
ndbm=${VELORAND_NDBM:-gdbm}
extra=()
[ "$ndbm" = bdb ] && extra=(libdb5.3-dev)
[ "$ndbm" = bsd ] && extra=(libdb1-compat)
bash scripts/deps.sh build test "${extra[@]}"
dir=build/test
sanitize=OFF
if [ "${VELORAND_SANITIZE:-0}" = 1 ]; then
  dir=build/sanitize
  sanitize=ON
fi
[ "$ndbm" = gdbm ] || dir=$dir-$ndbm
portable=OFF
if [ "${VELORAND_PORTABLE:-0}" = 1 ]; then
  dir=$dir-portable
  portable=ON
fi
rm -rf "$dir"
cmake -S . -B "$dir" -DVELORAND_WERROR=ON -DVELORAND_BENCH=ON -DVELORAND_SANITIZE=$sanitize \
  -DVELORAND_NDBM="$ndbm" -DVELORAND_PORTABLE=$portable
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
