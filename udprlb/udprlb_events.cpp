// CUdpRlbEvents: what a handler decided under the connection's lock, raised to the user once
// every lock is released.
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"

void CUdpRlbEvents::Post(int event, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    if (m_count == kMaxNotes) {
        QRN_TRACE_ERROR("too many events, dropped event", event);
        return;
    }
    m_notes[m_count++] = Note{event, p1, p2, p3};
}

void CUdpRlbEvents::Raise(CUdpRlbConnection *conn) {
    if (m_count == 0 || conn == nullptr) return;
    qrn_callback callback = nullptr;
    uintptr_t context = 0;
    // Read at raise time: a close meanwhile has detached the callback, and then nothing goes up.
    conn->GetCallback(&callback, &context);
    Raise(callback, context, conn->handle());
}

void CUdpRlbEvents::Raise(qrn_callback callback, uintptr_t context, int handle) {
    const int count = m_count;
    m_count = 0;
    if (callback == nullptr) return;
    for (int i = 0; i < count; ++i) {
        const Note &note = m_notes[i];
        qrn_trace_text("CUdpRlbEvents::Raise, (handle, event, p1, p2)=", handle, note.event, note.p1, note.p2);
        callback(context, note.event, static_cast<uintptr_t>(handle), note.p1, note.p2, note.p3);
    }
}
