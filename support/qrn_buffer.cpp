#include "qrnlibl/qrn_buffer.h"

#include <string.h>

#include <algorithm>
#include <climits>
#include <new>

namespace {

constexpr size_t kMinCapacity = 256;

}  // namespace

// Reads only move m_begin; the readable bytes go back to the front when room is needed at the
// end, and only once at least as many bytes were consumed as are still readable, so every byte
// is moved at most a constant number of times on average.
static bool qrn_buffer_make_room(std::vector<char> &data, int &begin, int &end, int extra) {
    const long long readable = end - begin;
    const long long need = readable + extra;
    if (need > INT_MAX) return false;
    if (static_cast<long long>(data.size()) - end >= extra) return true;
    const bool compact_is_enough = need <= static_cast<long long>(data.size());
    if (compact_is_enough && begin >= readable) {
        memmove(data.data(), data.data() + begin, static_cast<size_t>(readable));
    } else {
        size_t cap = std::max(data.size() * 2, kMinCapacity);
        cap = std::max(cap, static_cast<size_t>(need));
        cap = std::min(cap, static_cast<size_t>(INT_MAX));
        try {
            std::vector<char> grown(cap);
            if (readable > 0) memcpy(grown.data(), data.data() + begin, static_cast<size_t>(readable));
            data.swap(grown);
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    begin = 0;
    end = static_cast<int>(readable);
    return true;
}

int CQrnSimpleBuffer::alloc(int size) {
    if (size < 0) return -1;
    int free_now = get_write_size();
    int extra = size - get_readable();
    if (extra <= free_now) return 0;
    return qrn_buffer_make_room(m_data, m_begin, m_end, extra) ? 0 : -1;
}

char *CQrnSimpleBuffer::buffer() { return m_data.empty() ? nullptr : m_data.data() + m_begin; }

const char *CQrnSimpleBuffer::buffer() const {
    return m_data.empty() ? nullptr : m_data.data() + m_begin;
}

int CQrnSimpleBuffer::write(const void *data, int len) {
    if (len < 0 || (len > 0 && !data)) return -1;
    if (len == 0) return 0;
    if (!qrn_buffer_make_room(m_data, m_begin, m_end, len)) return -1;
    memcpy(m_data.data() + m_end, data, static_cast<size_t>(len));
    m_end += len;
    return len;
}

int CQrnSimpleBuffer::read(void *out, int len) {
    if (len <= 0 || !out) return 0;
    int n = std::min(len, get_readable());
    if (n > 0) memcpy(out, m_data.data() + m_begin, static_cast<size_t>(n));
    return skip(n);
}

int CQrnSimpleBuffer::skip(int len) {
    if (len <= 0) return 0;
    int n = std::min(len, get_readable());
    m_begin += n;
    if (m_begin == m_end) m_begin = m_end = 0;
    return n;
}
