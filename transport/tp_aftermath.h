// What a locked section of a transport connection leaves to be done once the connection's lock
// is released: the application's messages in the order they were decided, then the
// connection's own write event, then its end.
#ifndef QRN_TRANSPORT_TP_AFTERMATH_H
#define QRN_TRANSPORT_TP_AFTERMATH_H

#include <stdint.h>

#include <vector>

class CTpAftermath {
public:
    struct Note {
        int msg;
        uintptr_t p1, p2, p3;
        bool copied;                // p3 is to point at copy's bytes
        std::vector<uint8_t> copy;
    };

    // A message whose p3, if a pointer, stays valid until it is told (the reader's buffers).
    void Tell(int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        m_notes.push_back(Note{msg, p1, p2, p3, false, {}});
    }
    // A message with len bytes that may be gone by then: they are copied, p2 is len.
    void TellCopy(int msg, uintptr_t p1, const uint8_t *data, int len) {
        m_notes.push_back(Note{msg, p1, static_cast<uintptr_t>(len), 0, true, {data, data + len}});
    }
    void Write() { m_write = true; }
    void Finish() { m_finish = true; }

    const std::vector<Note> &notes() const { return m_notes; }
    bool write() const { return m_write; }
    bool finish() const { return m_finish; }

private:
    std::vector<Note> m_notes;
    bool m_write = false;
    bool m_finish = false;
};

#endif
