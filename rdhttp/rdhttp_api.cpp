// Until the tunnel layer lands, every call refuses, so that the multi-mode layer's HTTP path
// fails as it would with no tunnel server in reach.
#include "rdhttp/rdhttpc.h"

#include "qrnlibl/qrn_trace.h"

namespace {
constexpr int kRefused = -1;
constexpr int kNoHandle = 0;
}  // namespace

int qrn_rdhttp_listen(const char *, int, qrn_callback, uintptr_t) {
    QRN_TRACE_FUNC("qrn_rdhttp_listen");
    QRN_TRACE_ERROR("the tunnel has no server side");
    return kRefused;
}

// The tunnel layer replaces this body.
int qrn_rdhttp_connect(const char *, int, qrn_callback, uintptr_t) {
    QRN_TRACE_FUNC("qrn_rdhttp_connect");
    return kNoHandle;
}

// The tunnel layer replaces this body.
int qrn_rdhttp_send(int, const void *, int) { return kRefused; }

// The tunnel layer replaces this body.
int qrn_rdhttp_recv(int, void *, int) { return kRefused; }

// The tunnel layer replaces this body.
int qrn_rdhttp_close(int) { return kRefused; }

// The tunnel layer replaces this body.
int qrn_rdhttp_option(int, int, uintptr_t) { return kRefused; }
