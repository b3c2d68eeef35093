// Until the reliable-UDP layer lands, every call refuses, so that the multi-mode layer's UDP
// paths fail (and the combined mode falls back to TCP) as they would with no UDP at all.
#include "udprlb/udprlb.h"

#include "qrnlibl/qrn_trace.h"

namespace {
constexpr int kRefused = -1;
constexpr int kNoHandle = 0;
}  // namespace

// The reliable-UDP layer replaces this body.
int qrn_udprlb_init() { return kRefused; }

// The reliable-UDP layer replaces this body.
int qrn_udprlb_listen(const char *, int, qrn_callback, uintptr_t) {
    QRN_TRACE_FUNC("qrn_udprlb_listen");
    return kRefused;
}

// The reliable-UDP layer replaces this body.
int qrn_udprlb_connect(const char *, int, const char *, int, qrn_callback, uintptr_t) {
    QRN_TRACE_FUNC("qrn_udprlb_connect");
    return kNoHandle;
}

// The reliable-UDP layer replaces this body.
int qrn_udprlb_send(int, const void *, int, int) { return kRefused; }

// The reliable-UDP layer replaces this body.
int qrn_udprlb_recv(int, void *, int, int) { return kRefused; }

// The reliable-UDP layer replaces this body.
int qrn_udprlb_close(int) { return kRefused; }

// The reliable-UDP layer replaces this body.
int qrn_udprlb_option(int, int, uintptr_t) { return kRefused; }
