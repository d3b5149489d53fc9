// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"
#include "store/store.h"

int main(int argc, char** argv) {
  digest_db_at(VELORAND_DB_PATH);
  return run(argc, argv);
}
