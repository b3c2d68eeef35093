// What a locked section of a transport connection leaves to be done once the connection's lock
// is released: the application's messages in the order they were decided, then the
// connection's own write event, then its end.
#ifndef QRN_TRANSPORT_TP_AFTERMATH_H
#define QRN_TRANSPORT_TP_AFTERMATH_H

#include <stdint.h>

#include <list>
#include <vector>

#include "qrnlibl/qrn_notes.h"

class CTpAftermath {
public:
    // A message whose p3, if a pointer, stays valid until it is told (the reader's buffers).
    void Tell(int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3) { m_notes.Post(msg, p1, p2, p3); }
    // A message with len bytes that may be gone by then: p2 is len, p3 points at a copy that
    // lives as long as this object.
    void TellCopy(int msg, uintptr_t p1, const uint8_t *data, int len) {
        static const uint8_t kNoBytes[1] = {};
        const uint8_t *bytes = kNoBytes;
        if (len > 0) bytes = m_copies.emplace_back(data, data + len).data();
        m_notes.Post(msg, p1, static_cast<uintptr_t>(len), reinterpret_cast<uintptr_t>(bytes));
    }
    void Write() { m_write = true; }
    void Finish() { m_finish = true; }
    void Clear() {
        m_notes.Clear();
        m_copies.clear();
        m_write = m_finish = false;
    }

    const CQrnNotes &notes() const { return m_notes; }
    bool write() const { return m_write; }
    bool finish() const { return m_finish; }

private:
    CQrnNotes m_notes;
    std::list<std::vector<uint8_t>> m_copies;  // a list: each copy stays where it was made
    bool m_write = false;
    bool m_finish = false;
};

#endif
