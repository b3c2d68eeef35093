// The words the tools print for the library's close reasons and path modes.
#ifndef QRN_TOOLS_QRN_TP_NAMES_H
#define QRN_TOOLS_QRN_TP_NAMES_H

#include <stdint.h>

#include "qrn/qrn_tp.h"

namespace qrntool {

// A close reason, or the server's own refusal code for any other value.
inline const char *ReasonName(uintptr_t reason) {
    switch (reason) {
        case QRN_TP_REASON_PEER_CLOSED: return "closed by the peer";
        case QRN_TP_REASON_PATH_FAILED: return "path failed";
        case QRN_TP_REASON_RESUME_REFUSED: return "resumption refused";
        case QRN_TP_REASON_PROTOCOL_ERROR: return "protocol error";
        case QRN_TP_REASON_UPLINK_DISCONNECT: return "uplink disconnect";
        case QRN_TP_REASON_SESSION_LEFT: return "session left";
        case QRN_TP_REASON_VERSION_REFUSED: return "protocol version refused";
        default: return "refused by the server";
    }
}

inline const char *ModeName(uintptr_t mode) {
    switch (mode) {
        case QRN_TP_CONN_MODE_UDP: return "UDP";
        case QRN_TP_CONN_MODE_TCP: return "TCP";
        case QRN_TP_CONN_MODE_HTTP: return "HTTP tunnel";
        case QRN_TP_CONN_MODE_TCP_UDP: return "TCP+UDP";
        default: return "unknown";
    }
}

}  // namespace qrntool

#endif
