#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages named as arguments that are missing. Two words
# stand for lists: "build", what building and running the program needs, and
# "test", what the tests and benchmarks need beyond that (the duplicate finders
# among them are the benchmarks' baselines).
#
# Usage: deps.sh [build] [test] [package ...]
set -euo pipefail
build=(cmake g++ make libgdbm-dev libgdbm-compat-dev)
test=(libgtest-dev libbenchmark-dev libssl-dev jdupes rdfind fdupes rmlint)
packages=()
for a in "$@"; do
  case $a in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *) packages+=("$a") ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
