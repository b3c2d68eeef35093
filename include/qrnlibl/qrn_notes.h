// CQrnNotes: the messages a handler decides while it holds a lock, kept in the order posted so
// that it can deliver them once the lock is released. The first few live in the object itself;
// more go to the heap, so a note is never lost and the usual handler allocates nothing.
#ifndef QRNLIBL_QRN_NOTES_H
#define QRNLIBL_QRN_NOTES_H

#include <stdint.h>

#include <vector>

class CQrnNotes {
public:
    struct Note {
        int msg;
        uintptr_t p1, p2, p3;
    };

    void Post(int msg, uintptr_t p1 = 0, uintptr_t p2 = 0, uintptr_t p3 = 0) {
        const Note note{msg, p1, p2, p3};
        if (m_count < kInline) {
            m_inline[m_count] = note;
        } else {
            m_more.push_back(note);
        }
        ++m_count;
    }
    int count() const { return m_count; }
    // i in 0..count()-1, in the order posted.
    const Note &note(int i) const { return i < kInline ? m_inline[i] : m_more[i - kInline]; }
    void Clear() {
        m_count = 0;
        m_more.clear();
    }

private:
    static constexpr int kInline = 4;
    int m_count = 0;
    Note m_inline[kInline] = {};
    std::vector<Note> m_more;
};

#endif
