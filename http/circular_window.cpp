// The growing ring buffer of a request's received body.
#include "http/circular_window.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "http/http_defs.h"

namespace {

// Far beyond any body a caller leaves unread, and safe from overflow in the growth sum.
constexpr int kMaxCapacity = 1 << 30;

}  // namespace

CWSCircularWindow::CWSCircularWindow(int capacity, bool fixed)
    : m_capacity(capacity > 0 ? std::min(capacity, kMaxCapacity) : http::kWindowDefault), m_fixed(fixed ? 1 : 0) {
    m_buffer = new (std::nothrow) char[m_capacity];
    if (!m_buffer) m_capacity = 0;
}

CWSCircularWindow::~CWSCircularWindow() { delete[] m_buffer; }

int CWSCircularWindow::Used() const {
    if (m_capacity == 0) return 0;
    return (m_write_pos - m_consume_pos + m_capacity) % m_capacity;
}

bool CWSCircularWindow::Grow(int needed) {
    int grown = m_capacity + m_capacity / 5;
    int size = std::max(needed, grown);
    if (needed > kMaxCapacity) return false;
    size = std::min(size, kMaxCapacity);
    char *fresh = new (std::nothrow) char[size];
    if (!fresh) return false;
    int used = Used();
    int peek_offset = (m_peek_pos - m_consume_pos + m_capacity) % std::max(m_capacity, 1);
    int first = std::min(used, m_capacity - m_consume_pos);
    if (used > 0) {
        memcpy(fresh, m_buffer + m_consume_pos, first);
        memcpy(fresh + first, m_buffer, used - first);
    }
    delete[] m_buffer;
    m_buffer = fresh;
    m_capacity = size;
    m_consume_pos = 0;
    m_peek_pos = peek_offset;
    m_write_pos = used;
    return true;
}

int CWSCircularWindow::Write(const void *data, int len) {
    if (len <= 0 || !data) return 0;
    const char *src = static_cast<const char *>(data);
    int taken = 0;
    // At most two places: up to the buffer's end, then from its start.
    while (taken < len) {
        int place_len = 0;
        char *place = WritePlace(len - taken, &place_len);
        if (!place) break;
        memcpy(place, src + taken, static_cast<size_t>(place_len));
        Commit(place_len);
        taken += place_len;
    }
    return taken;
}

char *CWSCircularWindow::WritePlace(int want, int *len) {
    *len = 0;
    if (want <= 0) return nullptr;
    if (want > Free() && !m_fixed) {
        long long needed = static_cast<long long>(Used()) + want + 1;
        if (needed <= kMaxCapacity) Grow(static_cast<int>(needed));
    }
    if (m_capacity == 0 || Free() == 0) return nullptr;
    // Up to the buffer's end, or up to the byte before the consume position.
    int end = m_write_pos >= m_consume_pos ? m_capacity - (m_consume_pos == 0 ? 1 : 0) : m_consume_pos - 1;
    *len = std::min(want, end - m_write_pos);
    return *len > 0 ? m_buffer + m_write_pos : nullptr;
}

void CWSCircularWindow::Commit(int len) {
    if (len <= 0 || m_capacity == 0) return;
    len = std::min(len, Free());
    m_write_pos = (m_write_pos + len) % m_capacity;
}

int CWSCircularWindow::Read(void *out, int len) {
    if (len <= 0 || !out || m_capacity == 0) return 0;
    int avail = (m_write_pos - m_peek_pos + m_capacity) % m_capacity;
    int n = std::min(len, avail);
    char *dst = static_cast<char *>(out);
    int first = std::min(n, m_capacity - m_peek_pos);
    memcpy(dst, m_buffer + m_peek_pos, first);
    memcpy(dst + first, m_buffer, n - first);
    m_peek_pos = (m_peek_pos + n) % m_capacity;
    return n;
}

int CWSCircularWindow::Consume(int len) {
    if (len <= 0 || m_capacity == 0) return 0;
    int n = std::min(len, Used());
    m_consume_pos = (m_consume_pos + n) % m_capacity;
    m_total += static_cast<uint32_t>(n);
    if (m_consume_pos == m_write_pos && m_peek_pos == m_write_pos) m_consume_pos = m_write_pos = m_peek_pos = 0;
    return n;
}

void CWSCircularWindow::Reset() {
    m_consume_pos = m_write_pos = m_peek_pos = 0;
    m_total = 0;
}
