/* Handle tables: small non-zero 16-bit ids, each with a slot that holds its owner's object
 * pointer. A freed id is not handed out again until every other id has been used since, so a
 * stale handle does not reach a newer object. Enumeration survives removal during the walk:
 * the cursor is the id to look from, so the walk goes on from the next live id after the last
 * one returned, whatever was freed or added meanwhile. Ids come out in ascending order. */
#ifndef QRNLIBL_QRN_HANDLE_MGR_H
#define QRNLIBL_QRN_HANDLE_MGR_H

#include <stdint.h>

#ifdef __cplusplus
class CQrnLock;
extern "C" {
#else
typedef struct CQrnLock CQrnLock;
#endif

typedef struct qrn_handle_mgr qrn_handle_mgr;

#define QRN_HANDLE_MAX_IDS 65535

/* initial_size slots at first, growing by grow_by; null on bad arguments. */
qrn_handle_mgr *qrn_handle_mgr_create(int initial_size, int grow_by);
/* Every later call on the table takes this lock (re-entrant) for its run; without one the
   table uses an internal lock. Set it before the table is shared. */
void qrn_handle_set_lock(qrn_handle_mgr *mgr, CQrnLock *lock);
/* A new id (1..65535) with an empty slot, or 0 when all ids are taken. */
int qrn_handle_mgr_alloc_id(qrn_handle_mgr *mgr);
/* The slot of id, valid while the id is live; null for an id not in the table. */
void **qrn_handle_mgr_get(qrn_handle_mgr *mgr, int id);
/* 1 when id was live and is now free, 0 otherwise. */
int qrn_handle_mgr_free_id(qrn_handle_mgr *mgr, int id);
int qrn_handle_mgr_count(qrn_handle_mgr *mgr);
/* Makes the search for the next free id start at id (1..65535), so that a table's ids need not
   start at 1; ignored for an id out of range. */
void qrn_handle_mgr_set_next(qrn_handle_mgr *mgr, int id);
/* A cursor before the first id (1), or 0 for an empty table. */
uintptr_t qrn_handle_mgr_enumerate_start(qrn_handle_mgr *mgr);
/* The slot of the first live id at or after the cursor (the cursor then moves past it), or
   null at the end and for a cursor of 0. id_out, when not null, receives that id. */
void **qrn_handle_mgr_enumerate_next(qrn_handle_mgr *mgr, uintptr_t *cursor, int *id_out);
void qrn_handle_mgr_destroy(qrn_handle_mgr *mgr);

#ifdef __cplusplus
}
#endif

#endif
