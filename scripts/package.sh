#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package out/velorand_<version>_<arch>.deb from the
# checkout with dpkg-buildpackage and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build debhelper dpkg-dev lintian
# dpkg-buildpackage writes beside the source tree, so it builds a copy.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/velorand"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work/velorand"
(cd "$work/velorand" && dpkg-buildpackage -b -us -uc -j"$(nproc)" > "$work/build.log" 2>&1) ||
  { tail -40 "$work/build.log"; exit 1; }
mkdir -p out
deb=$(cd "$work" && ls velorand_*.deb)
mv "$work/$deb" out/
lintian --fail-on error "out/$deb"
echo "out/$deb"
