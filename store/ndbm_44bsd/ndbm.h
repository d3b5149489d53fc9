/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * The ndbm interface of the 4.4BSD database package, declared as FreeBSD's
 * <ndbm.h> declares it, for a system whose C library has no <ndbm.h> but
 * which has that library (Debian's libdb1-compat). Note the 4.4BSD datum: a
 * void pointer and an int length, where POSIX and GDBM have a size_t; a
 * declaration that got this wrong would still link and pass wrong lengths.
 */
#ifndef VELORAND_NDBM_44BSD_H_
#define VELORAND_NDBM_44BSD_H_

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * On LP64 Debian's build of the library casts a datum to its own DBT, whose
 * length is a size_t: the four bytes after dsize are read as the length's
 * upper half. Left as padding they hold whatever the caller's register or
 * stack held, and the library then takes keys and values gigabytes long
 * (it read past them, and grew a file by 12 MB for 1,000 records). So they
 * are a member, zero in every datum made here; the size and the way a datum
 * is passed are FreeBSD's, whose library copies the fields instead.
 */
typedef struct {
  void *dptr;
  int dsize;
#ifdef __cplusplus
  int dsize_upper = 0;
#else
  int dsize_upper;
#endif
} datum;

typedef struct __db DB;
typedef DB DBM;

#define DBM_INSERT 0
#define DBM_REPLACE 1

DBM *dbm_open(const char *, int, mode_t);
void dbm_close(DBM *);
int dbm_clearerr(DBM *);
int dbm_delete(DBM *, datum);
int dbm_dirfno(DBM *);
int dbm_error(DBM *);
datum dbm_fetch(DBM *, datum);
datum dbm_firstkey(DBM *);
datum dbm_nextkey(DBM *);
int dbm_store(DBM *, datum, datum, int);

#ifdef __cplusplus
}
#endif

#endif /* VELORAND_NDBM_44BSD_H_ */
