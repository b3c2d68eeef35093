/* qrn_cirwin: a byte ring buffer with a settable capacity (the limit) and a read position.
 *
 *   oldest kept byte            read position                    end
 *        |------ handed over -------|---------- unsent -----------|
 *        |-------------------------- kept ------------------------|
 *
 * write appends at the end, read copies from the read position on and moves it, forward drops
 * the oldest bytes, set_read_len moves the read position back or forth within what is kept.
 * Storage grows on demand up to the limit, so a large limit costs nothing until used. */
#ifndef QRNLIBL_QRN_CIRWIN_H
#define QRNLIBL_QRN_CIRWIN_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qrn_cirwin qrn_cirwin;

/* A window that keeps at most limit bytes (limit > 0); null on a bad limit. */
qrn_cirwin *qrn_cirwin_create(int limit);
void qrn_cirwin_destroy(qrn_cirwin *w);
/* Changes the capacity; -1 (and no change) when limit is below what is kept or not positive. */
int qrn_cirwin_set_limit(qrn_cirwin *w, int limit);
int qrn_cirwin_get_limit(const qrn_cirwin *w);

/* Appends up to len bytes (as many as there is room for); returns the count. */
int qrn_cirwin_write(qrn_cirwin *w, const void *data, int len);
/* Copies up to len unsent bytes out from the read position and moves it on; returns the count. */
int qrn_cirwin_read(qrn_cirwin *w, void *out, int len);
/* Copies up to len bytes starting offset bytes after the oldest kept byte, consuming nothing;
   returns the count (0 when offset is outside what is kept). */
int qrn_cirwin_read_ex(const qrn_cirwin *w, int offset, void *out, int len);

int qrn_cirwin_write_size(const qrn_cirwin *w);  /* kept */
int qrn_cirwin_read_size(const qrn_cirwin *w);   /* handed over */
int qrn_cirwin_read_avail(const qrn_cirwin *w);  /* unsent */
int qrn_cirwin_room(const qrn_cirwin *w);        /* limit - kept */

/* Drops up to n of the oldest bytes (the read position stays on the same byte, or moves to
   the new oldest byte if that one was dropped); returns how many went. */
int qrn_cirwin_forward(qrn_cirwin *w, int n);
/* Puts the read position n bytes after the oldest kept byte; -1 when n is outside 0..kept. */
int qrn_cirwin_set_read_len(qrn_cirwin *w, int n);
/* Empties the window (the limit stays). */
void qrn_cirwin_reset(qrn_cirwin *w);
/* Gives back the storage that the kept bytes do not need (all of it when none is kept), so that
   a window that once grew stays no larger than what it keeps; a failed move keeps the old
   storage. Returns the storage size in bytes. */
int qrn_cirwin_shrink(qrn_cirwin *w);
/* The storage size in bytes (what the window holds allocated). */
int qrn_cirwin_storage(const qrn_cirwin *w);

#ifdef __cplusplus
}
#endif

#endif
