// SPDX-License-Identifier: GPL-3.0-or-later
// What ndbm.cpp asks of the one-file library it serves: bdb.cpp or bsd.cpp,
// chosen by the build. Only store/ includes this header.
#ifndef VELORAND_STORE_NDBM_H_
#define VELORAND_STORE_NDBM_H_

#include <sys/stat.h>

// Returns true when the room an append may take beside the data file `fd`
// (status `st`) is there, allocated where that is needed.
bool room_for_store(int fd, const struct stat& st);

#endif  // VELORAND_STORE_NDBM_H_
