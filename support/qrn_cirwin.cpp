#include "qrnlibl/qrn_cirwin.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace {

constexpr int kFirstStorage = 4096;
// Storage given back by a shrink keeps a whole number of these.
constexpr int kShrinkStep = 1024;

}  // namespace

// The kept bytes start at storage index m_head and wrap at m_cap; m_read counts the bytes
// from the oldest kept byte to the read position. Invariant: 0 <= m_read <= m_kept <= m_limit
// and m_kept <= m_cap.
struct qrn_cirwin {
    unsigned char *m_buf;
    int m_cap;
    int m_head;
    int m_kept;
    int m_read;
    int m_limit;
};

// Storage index of the byte offset bytes after the oldest kept one (offset <= m_cap).
static int qrn_cirwin_index(const qrn_cirwin *w, int offset) {
    int i = w->m_head + (offset - w->m_cap);
    return i < 0 ? i + w->m_cap : i;
}

// Copies len kept bytes from offset out, in at most two runs.
static void qrn_cirwin_copy_out(const qrn_cirwin *w, int offset, void *out, int len) {
    int start = qrn_cirwin_index(w, offset);
    int first = std::min(len, w->m_cap - start);
    memcpy(out, w->m_buf + start, static_cast<size_t>(first));
    if (first < len) {
        memcpy(static_cast<unsigned char *>(out) + first, w->m_buf, static_cast<size_t>(len - first));
    }
}

// Moves the kept bytes into new storage of cap bytes (cap >= m_kept), oldest at index 0.
static bool qrn_cirwin_resize(qrn_cirwin *w, int cap) {
    unsigned char *fresh = static_cast<unsigned char *>(malloc(static_cast<size_t>(cap)));
    if (!fresh) return false;
    if (w->m_kept > 0) qrn_cirwin_copy_out(w, 0, fresh, w->m_kept);
    free(w->m_buf);
    w->m_buf = fresh;
    w->m_cap = cap;
    w->m_head = 0;
    return true;
}

// Storage for at least need kept bytes (need <= m_limit): doubling, capped by the limit.
static bool qrn_cirwin_reserve(qrn_cirwin *w, int need) {
    if (need <= w->m_cap) return true;
    long long cap = std::max<long long>(w->m_cap, kFirstStorage);
    while (cap < need) cap *= 2;
    cap = std::min<long long>(cap, w->m_limit);
    return qrn_cirwin_resize(w, static_cast<int>(cap));
}

extern "C" {

qrn_cirwin *qrn_cirwin_create(int limit) {
    if (limit <= 0) return nullptr;
    return new (std::nothrow) qrn_cirwin{nullptr, 0, 0, 0, 0, limit};
}

void qrn_cirwin_destroy(qrn_cirwin *w) {
    if (!w) return;
    free(w->m_buf);
    delete w;
}

int qrn_cirwin_set_limit(qrn_cirwin *w, int limit) {
    if (!w || limit <= 0 || limit < w->m_kept) return -1;
    // Storage beyond a lowered limit would never be used again.
    if (w->m_cap > limit) {
        if (w->m_kept == 0) {
            free(w->m_buf);
            w->m_buf = nullptr;
            w->m_cap = 0;
            w->m_head = 0;
        } else if (!qrn_cirwin_resize(w, limit)) {
            return -1;
        }
    }
    w->m_limit = limit;
    return 0;
}

int qrn_cirwin_get_limit(const qrn_cirwin *w) { return w ? w->m_limit : 0; }

void *qrn_cirwin_write_place(qrn_cirwin *w, int want, int *len) {
    if (len) *len = 0;
    if (!w || !len || want <= 0) return nullptr;
    int n = std::min(want, w->m_limit - w->m_kept);
    if (n > 0 && !qrn_cirwin_reserve(w, w->m_kept + n)) n = std::min(n, w->m_cap - w->m_kept);
    if (n <= 0) return nullptr;
    if (w->m_kept == 0) w->m_head = 0;
    const int start = qrn_cirwin_index(w, w->m_kept);
    *len = std::min(n, w->m_cap - start);
    return w->m_buf + start;
}

int qrn_cirwin_commit(qrn_cirwin *w, int len) {
    if (!w || len <= 0) return 0;
    len = std::min(len, w->m_cap - w->m_kept);
    w->m_kept += len;
    return len;
}

int qrn_cirwin_write(qrn_cirwin *w, const void *data, int len) {
    if (!w || !data || len <= 0) return 0;
    int taken = 0;
    // At most two places: up to the end of the storage, then from its start.
    while (taken < len) {
        int place_len = 0;
        void *place = qrn_cirwin_write_place(w, len - taken, &place_len);
        if (!place) break;
        memcpy(place, static_cast<const unsigned char *>(data) + taken, static_cast<size_t>(place_len));
        taken += qrn_cirwin_commit(w, place_len);
    }
    return taken;
}

int qrn_cirwin_read(qrn_cirwin *w, void *out, int len) {
    if (!w || !out || len <= 0) return 0;
    int n = std::min(len, w->m_kept - w->m_read);
    if (n <= 0) return 0;
    qrn_cirwin_copy_out(w, w->m_read, out, n);
    w->m_read += n;
    return n;
}

int qrn_cirwin_read_ex(const qrn_cirwin *w, int offset, void *out, int len) {
    if (!w || !out || len <= 0 || offset < 0 || offset >= w->m_kept) return 0;
    int n = std::min(len, w->m_kept - offset);
    qrn_cirwin_copy_out(w, offset, out, n);
    return n;
}

int qrn_cirwin_write_size(const qrn_cirwin *w) { return w ? w->m_kept : 0; }
int qrn_cirwin_read_size(const qrn_cirwin *w) { return w ? w->m_read : 0; }
int qrn_cirwin_read_avail(const qrn_cirwin *w) { return w ? w->m_kept - w->m_read : 0; }
int qrn_cirwin_room(const qrn_cirwin *w) { return w ? w->m_limit - w->m_kept : 0; }
int qrn_cirwin_storage(const qrn_cirwin *w) { return w ? w->m_cap : 0; }

int qrn_cirwin_forward(qrn_cirwin *w, int n) {
    if (!w || n <= 0) return 0;
    n = std::min(n, w->m_kept);
    w->m_kept -= n;
    w->m_read = std::max(w->m_read - n, 0);
    w->m_head = w->m_kept == 0 ? 0 : qrn_cirwin_index(w, n);
    return n;
}

int qrn_cirwin_set_read_len(qrn_cirwin *w, int n) {
    if (!w || n < 0 || n > w->m_kept) return -1;
    w->m_read = n;
    return 0;
}

void qrn_cirwin_reset(qrn_cirwin *w) {
    if (!w) return;
    w->m_head = 0;
    w->m_kept = 0;
    w->m_read = 0;
}

int qrn_cirwin_shrink(qrn_cirwin *w) {
    if (!w) return 0;
    if (w->m_kept == 0) {
        free(w->m_buf);
        w->m_buf = nullptr;
        w->m_cap = 0;
        w->m_head = 0;
        return 0;
    }
    const long long fit = (static_cast<long long>(w->m_kept) + kShrinkStep - 1) / kShrinkStep * kShrinkStep;
    if (fit < w->m_cap) qrn_cirwin_resize(w, static_cast<int>(fit));
    return w->m_cap;
}

}  // extern "C"
