// CQrnSimpleBuffer: a growable byte buffer read from the front and written at the end.
#ifndef QRNLIBL_QRN_BUFFER_H
#define QRNLIBL_QRN_BUFFER_H

#include <vector>

class CQrnSimpleBuffer {
public:
    // Makes room for at least size bytes in all (readable plus free); 0, or -1 when size is negative.
    int alloc(int size);
    // The first readable byte (valid until the next write or alloc); null when nothing was allocated.
    char *buffer();
    const char *buffer() const;
    // Appends len bytes, growing as needed; returns len, or -1 for a negative length.
    int write(const void *data, int len);
    // Moves up to len bytes from the front into out; returns the count.
    int read(void *out, int len);
    // Drops up to len bytes from the front; returns the count.
    int skip(int len);
    int get_readable() const { return m_end - m_begin; }
    // Bytes that can be written at the end without growing.
    int get_write_size() const { return static_cast<int>(m_data.size()) - m_end; }
    void reset_all() { m_begin = m_end = 0; }

private:
    std::vector<char> m_data;
    int m_begin = 0;
    int m_end = 0;
};

#endif
