// CUdpRlbEvents: what a handler decided under the connection's lock, raised to the user once
// every lock is released.
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"

void CUdpRlbEvents::Raise(CUdpRlbConnection *conn) {
    if (count() == 0 || conn == nullptr) return;
    qrn_callback callback = nullptr;
    uintptr_t context = 0;
    // Read at raise time: a close meanwhile has detached the callback, and then nothing goes up.
    conn->GetCallback(&callback, &context);
    Raise(callback, context, conn->handle());
}

void CUdpRlbEvents::Raise(qrn_callback callback, uintptr_t context, int handle) {
    for (int i = 0; callback != nullptr && i < count(); ++i) {
        const Note &n = note(i);
        qrn_trace_text("CUdpRlbEvents::Raise, (handle, event, p1, p2)=", handle, n.msg, n.p1, n.p2);
        callback(context, n.msg, static_cast<uintptr_t>(handle), n.p1, n.p2, n.p3);
    }
    Clear();
}
