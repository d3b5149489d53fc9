// SPDX-License-Identifier: GPL-3.0-or-later
// Other systems: no room can be allocated past a file's end without changing
// its length; the caller lengthens the file, or only checks the free space.
#include "store/internal.h"

reserve_result reserve_room(int, const struct stat& st, off_t room) {
  return size_limit_allows(st.st_size + room / 2) ? reserve_result::unsupported
                                                  : reserve_result::refused;
}
