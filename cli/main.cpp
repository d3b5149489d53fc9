// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

int main(int argc, char** argv) {
  return run(argc, argv, VELORAND_DB_PATH);
}
