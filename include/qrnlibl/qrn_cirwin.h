/* qrn_cirwin: a byte ring buffer with a settable capacity (the limit) and a read position.
 *
 *   oldest kept byte            read position                    end
 *        |------ handed over -------|---------- unsent -----------|
 *        |-------------------------- kept ------------------------|
 *
 * write appends at the end (or a writer fills write_place in place and commits), read copies
 * from the read position on and moves it, forward drops the oldest bytes, set_read_len moves
 * the read position back or forth within what is kept.
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
/* The free storage right after the kept bytes, for a writer that fills it in place: storage
   first grows (within the limit) so that want bytes fit. *len gets the size of the place (at
   most want; the rest follows the wrap); null, with *len 0, when there is no room. */
void *qrn_cirwin_write_place(qrn_cirwin *w, int want, int *len);
/* Counts up to len bytes filled at the write place as kept; returns the count. */
int qrn_cirwin_commit(qrn_cirwin *w, int len);
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

// A window owned by a C++ member, under the names of a reader that consumes what it read.
class CQrnCirwin {
public:
    explicit CQrnCirwin(int limit) : m_w(qrn_cirwin_create(limit)) {}
    ~CQrnCirwin() { qrn_cirwin_destroy(m_w); }
    CQrnCirwin(const CQrnCirwin &) = delete;
    CQrnCirwin &operator=(const CQrnCirwin &) = delete;

    int Write(const void *data, int len) { return qrn_cirwin_write(m_w, data, len); }
    char *WritePlace(int want, int *len) { return static_cast<char *>(qrn_cirwin_write_place(m_w, want, len)); }
    int Commit(int len) { return qrn_cirwin_commit(m_w, len); }
    int Read(void *out, int len) { return qrn_cirwin_read(m_w, out, len); }
    // Drops up to len of the oldest bytes; an emptied window's free space is one piece again.
    int Consume(int len) { return qrn_cirwin_forward(m_w, len); }
    int Used() const { return qrn_cirwin_write_size(m_w); }
    void Reset() { qrn_cirwin_reset(m_w); }

private:
    qrn_cirwin *m_w;
};
#endif

#endif
