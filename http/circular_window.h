// CWSCircularWindow: a byte ring buffer that grows, for the received body of a request.
// One byte always stays free, so that a full window is told apart from an empty one.
#ifndef QRN_HTTP_CIRCULAR_WINDOW_H
#define QRN_HTTP_CIRCULAR_WINDOW_H

#include <stdint.h>

class CWSCircularWindow {
public:
    // capacity 0 gives the default; a fixed window never grows.
    explicit CWSCircularWindow(int capacity = 0, bool fixed = false);
    ~CWSCircularWindow();
    CWSCircularWindow(const CWSCircularWindow &) = delete;
    CWSCircularWindow &operator=(const CWSCircularWindow &) = delete;

    // Copies in what fits (all of it, growing, unless fixed or beyond the size limit);
    // returns the count taken.
    int Write(const void *data, int len);
    // The contiguous free space at the write position, for a writer that fills it in place:
    // a growable window first grows so that want bytes are free. *len gets the size of the
    // place (at most want; the rest follows the wrap); null when nothing is free.
    char *WritePlace(int want, int *len);
    // Counts len bytes written at WritePlace as written.
    void Commit(int len);
    // Copies out up to len bytes from the peek position and advances it.
    int Read(void *out, int len);
    // Drops up to len bytes at the consume position; returns the count. An emptied window
    // starts again at its beginning, so that its free space is one piece again.
    int Consume(int len);
    int Used() const;
    int Free() const { return m_capacity - Used() - 1; }
    int Capacity() const { return m_capacity; }
    uint32_t Total() const { return m_total; }
    // Empties the window and zeroes the total; the memory stays.
    void Reset();

private:
    bool Grow(int needed);

    char *m_buffer = nullptr;
    int m_capacity = 0;
    int m_fixed = 0;
    uint32_t m_total = 0;
    int m_consume_pos = 0;
    int m_write_pos = 0;
    int m_peek_pos = 0;
};

#endif
