#include "http/detectr.h"

#include <string.h>

#include "http/http_defs.h"
#include "http/httpie.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"

namespace {

constexpr int kGet = 1;
constexpr int kPost = 0;
constexpr int kMaxPath = 32;

// Never destroyed: the timer and the internet thread may still call in while statics go.
CQrnHttpDetector &Detector() {
    static CQrnHttpDetector *detector = new CQrnHttpDetector;
    return *detector;
}

const char *TestName(uint32_t state) {
    switch (state) {
    case 1: return "accessible test";
    case 3: return "big post test";
    default: return "small post test";
    }
}

}  // namespace

CQrnHttpDetector::~CQrnHttpDetector() {
    Stop();
    qrn_timer_kill(&qrn_http_detector_callback, 0);
}

int CQrnHttpDetector::Start(const char *host, uint16_t port, qrn_callback callback,
                            uintptr_t user_data) {
    QRN_TRACE_FUNC("CQrnHttpDetector::Start");
    CAfter after;
    int ret = 0;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state == kFinished) {
            after.report = true;
            after.callback = callback;
            after.user_data = user_data;
            after.result = m_result;
            after.mode = m_mode;
            ret = 1;
        } else if (m_state != kIdle) {
            return -1;
        } else {
            if (!m_timer_on) {
                m_timer_on = qrn_timer_set(&qrn_http_detector_callback, 0, http::kDetectorTickMs) == 0;
            }
            m_callback = callback;
            m_user_data = user_data;
            m_host = host != nullptr ? host : "";
            m_port = port;
            m_session = 0;
            m_buf_len = 0;
            m_out_len = 0;
            m_get = qrn_http_sock_connect(&qrn_http_detector_callback, 0, m_host.c_str(), m_port, kGet,
                                          dtctr::kPathPrefix, 0);
            if (m_get == 0) {
                QRN_TRACE_ERROR("detector request failed");
                return -2;
            }
            m_state = kAccessibleTest;
            m_start_tick = get_tick_count();
        }
    }
    Finish(after);
    return ret;
}

void CQrnHttpDetector::Stop() {
    QRN_TRACE_FUNC("CQrnHttpDetector::Stop");
    CAfter after;
    {
        CQrnFuncLock guard(m_lock);
        ClearRequests(&after);
        m_state = kIdle;
        m_result = 0;
        m_mode = 0;
    }
    Finish(after);
}

void CQrnHttpDetector::OnEvent(int msg, uintptr_t handle, uintptr_t p1) {
    CAfter after;
    {
        CQrnFuncLock guard(m_lock);
        switch (msg) {
        case http::kMsgConnect: OnConfirm(handle, static_cast<uint32_t>(p1), &after); break;
        case http::kMsgReceive: OnRead(handle, static_cast<uint32_t>(p1), &after); break;
        case http::kMsgSend: OnWrite(handle); break;
        case http::kMsgClose: OnClose(handle, &after); break;
        case QRN_MSG_TIMER: OnTimer(&after); break;
        default: break;
        }
    }
    Finish(after);
}

void CQrnHttpDetector::OnConfirm(uintptr_t handle, uint32_t result, CAfter *after) {
    if (handle == 0 || (handle != m_get && handle != m_post)) return;  // a request already let go
    qrn_trace_text("CQrnHttpDetector::OnConfirm, test=", TestName(m_state), "result=", result);
    if (m_state == kAccessibleTest) {
        if (result != 0) {
            m_get = 0;
            NotifyDetectFinished(http::kDetectUnreachable, http::kModeNone, after);
        }
    } else if (m_state == kBigPostTest) {
        if (result != 0) {
            (handle == m_get ? m_get : m_post) = 0;
            ClearRequests(after);
            StartSmallPostTest(after);
        } else if (handle == m_get) {
            m_post = Open(kPost, dtctr::kBigPostBodyLength);
            if (m_post == 0) {
                ClearRequests(after);
                StartSmallPostTest(after);
            }
        } else {
            Queue(CDetectorPduEcho(dtctr::kBigPostEcho));
        }
    } else if (m_state == kSmallPostTest) {
        if (result != 0) {
            m_post = 0;
            NotifyDetectFinished(http::kDetectSmallPostFailed, http::kModeNone, after);
        } else {
            Queue(CDetectorPduEcho(dtctr::kSmallPostEcho));
        }
    }
}

void CQrnHttpDetector::OnRead(uintptr_t handle, uint32_t count, CAfter *after) {
    const uintptr_t from = m_state == kSmallPostTest ? m_post : m_get;
    if (handle == 0 || handle != from) return;
    // Bytes beyond the one PDU a test waits for are left unread: the test ends on that PDU.
    const int room = dtctr::kPduSize - m_buf_len;
    const int want = count < static_cast<uint32_t>(room) ? static_cast<int>(count) : room;
    if (want > 0) {
        const int got = qrn_http_sock_recv(from, m_buf + m_buf_len, want);
        if (got > 0) m_buf_len += got;
    }
    if (m_buf_len < dtctr::kPduSize) return;
    qrn_trace_text("CQrnHttpDetector::OnRead, test=", TestName(m_state), "len=", count);
    EDetectorPduRead why = EDetectorPduRead::kShort;
    std::unique_ptr<CDetectorPdu> pdu = CDetectorPdu::Read(m_buf, m_buf_len, &why);
    m_buf_len = 0;
    if (pdu == nullptr) {
        // An unknown type is answered as any wrong PDU is.
        struct CUnknown : CDetectorPdu {
            CUnknown() : CDetectorPdu(dtctr::kTypeNone, 0) {}
        } unknown;
        OnPdu(unknown, after);
        return;
    }
    OnPdu(*pdu, after);
}

void CQrnHttpDetector::OnPdu(const CDetectorPdu &pdu, CAfter *after) {
    const bool answer = pdu.GetType() == dtctr::kTypeEcho && pdu.GetValue() == dtctr::kEchoAnswer;
    if (m_state == kAccessibleTest) {
        if (pdu.GetType() == dtctr::kTypeSessionCreated && pdu.GetValue() != 0) {
            m_session = pdu.GetValue();
            StartBigPostTest(after);
        } else {
            NotifyDetectFinished(http::kDetectBadReply, http::kModeNone, after);
        }
    } else if (m_state == kBigPostTest) {
        if (answer) {
            Queue(CDetectorPduClose());
            NotifyDetectFinished(http::kDetectOk, http::kModeBigPost, after);
            return;
        }
        if (pdu.GetType() == dtctr::kTypeEcho) QRN_TRACE_ERROR("echo number not correct", pdu.GetValue());
        else QRN_TRACE_ERROR("pdu not recognized", static_cast<uint32_t>(pdu.GetType()));
        ClearRequests(after);
        StartSmallPostTest(after);
    } else if (m_state == kSmallPostTest) {
        if (answer) NotifyDetectFinished(http::kDetectOk, http::kModeSmallPost, after);
        else NotifyDetectFinished(http::kDetectBadReply, http::kModeNone, after);
    }
}

void CQrnHttpDetector::OnWrite(uintptr_t handle) {
    if (handle != 0 && handle == m_post) Flush();
}

// A request that ends before its test has its answer fails that test now rather than at the
// time-out.
void CQrnHttpDetector::OnClose(uintptr_t handle, CAfter *after) {
    if (handle == 0 || (handle != m_get && handle != m_post)) return;
    (handle == m_get ? m_get : m_post) = 0;
    qrn_trace_text("CQrnHttpDetector::OnClose, test=", TestName(m_state));
    if (m_state == kAccessibleTest) {
        NotifyDetectFinished(http::kDetectUnreachable, http::kModeNone, after);
    } else if (m_state == kBigPostTest) {
        ClearRequests(after);
        StartSmallPostTest(after);
    } else if (m_state == kSmallPostTest) {
        NotifyDetectFinished(http::kDetectSmallPostFailed, http::kModeNone, after);
    }
}

void CQrnHttpDetector::OnTimer(CAfter *after) {
    if (m_state == kIdle || m_state == kFinished) {
        // Killed from its own callback, the timer is not waited for.
        if (m_timer_on) qrn_timer_kill(&qrn_http_detector_callback, 0);
        m_timer_on = false;
        return;
    }
    if (!TimedOut()) return;
    qrn_trace_text("CQrnHttpDetector::OnTimer, time-out in test=", TestName(m_state));
    if (m_state == kAccessibleTest) {
        NotifyDetectFinished(http::kDetectUnreachable, http::kModeNone, after);
    } else if (m_state == kBigPostTest) {
        // The POST is let go unfinished: a close would complete its body, and a proxy that
        // held the body until then would pass it on and end the session the small-post test
        // is about to use.
        ClearRequests(after);
        StartSmallPostTest(after);
    } else {
        NotifyDetectFinished(http::kDetectSmallPostFailed, http::kModeNone, after);
    }
}

void CQrnHttpDetector::StartBigPostTest(CAfter *after) {
    QRN_TRACE_FUNC("CQrnHttpDetector::StartBigPostTest");
    // The reachability GET has done its work; its request is let go.
    Drop(&m_get, after);
    m_get = Open(kGet, 0);
    if (m_get == 0) {
        StartSmallPostTest(after);
        return;
    }
    m_state = kBigPostTest;
    m_start_tick = get_tick_count();
}

void CQrnHttpDetector::StartSmallPostTest(CAfter *after) {
    QRN_TRACE_FUNC("CQrnHttpDetector::StartSmallPostTest");
    m_buf_len = 0;
    m_out_len = 0;
    m_post = Open(kPost, dtctr::kSmallPostBodyLength);
    if (m_post == 0) {
        NotifyDetectFinished(http::kDetectSmallPostFailed, http::kModeNone, after);
        return;
    }
    m_state = kSmallPostTest;
    m_start_tick = get_tick_count();
}

void CQrnHttpDetector::NotifyDetectFinished(uint32_t result, uint32_t mode, CAfter *after) {
    qrn_trace_text("CQrnHttpDetector::NotifyDetectFinished, (result, mode)=", result, mode);
    m_result = result;
    m_mode = mode;
    m_state = result == http::kDetectOk ? kFinished : kIdle;
    ClearRequests(after);
    after->report = true;
    after->callback = m_callback;
    after->user_data = m_user_data;
    after->result = result;
    after->mode = mode;
}

uintptr_t CQrnHttpDetector::Open(int get, unsigned content_length) {
    char path[kMaxPath];
    snprintf(path, sizeof(path), "%s%lu", dtctr::kPathPrefix, static_cast<unsigned long>(m_session));
    m_buf_len = 0;
    const uintptr_t handle = qrn_http_sock_connect(&qrn_http_detector_callback, 0, m_host.c_str(), m_port,
                                                   get, path, content_length);
    if (handle == 0) QRN_TRACE_ERROR("detector request failed", path);
    return handle;
}

void CQrnHttpDetector::Queue(const CDetectorPdu &pdu) {
    if (m_post == 0) return;
    if (m_out_len + pdu.GetSize() > static_cast<int>(sizeof(m_out))) {
        QRN_TRACE_ERROR("detector body overflow");
        return;
    }
    memcpy(m_out + m_out_len, pdu.GetBytes(), pdu.GetSize());
    m_out_len += pdu.GetSize();
    Flush();
}

void CQrnHttpDetector::Flush() {
    if (m_post == 0 || m_out_len == 0) return;
    const int sent = qrn_http_sock_send(m_post, m_out, m_out_len);
    if (sent <= 0) return;  // the rest goes at the next write event
    memmove(m_out, m_out + sent, m_out_len - sent);
    m_out_len -= sent;
}

void CQrnHttpDetector::Drop(uintptr_t *handle, CAfter *after) {
    if (*handle == 0) return;
    for (uintptr_t &slot : after->close) {
        if (slot == 0) {
            slot = *handle;
            *handle = 0;
            return;
        }
    }
    QRN_TRACE_ERROR("detector close list full");
}

void CQrnHttpDetector::ClearRequests(CAfter *after) {
    Drop(&m_get, after);
    Drop(&m_post, after);
    m_buf_len = 0;
    m_out_len = 0;
}

bool CQrnHttpDetector::TimedOut() const {
    return calc_tick_diff(m_start_tick, get_tick_count()) >= http::kDetectorTestMs;
}

void CQrnHttpDetector::Finish(const CAfter &after) {
    for (uintptr_t handle : after.close) {
        if (handle != 0) qrn_http_sock_close(handle);
    }
    if (after.report && after.callback != nullptr) {
        after.callback(after.user_data, http::kMsgDetectFinished, 0, after.result, after.mode, 0);
    }
}

int qrn_http_detector_start(const char *host, uint16_t port, qrn_callback callback,
                            uintptr_t user_data) {
    QRN_TRACE_FUNC("qrn_http_detector_start");
    return Detector().Start(host, port, callback, user_data);
}

int qrn_http_detector_callback(uintptr_t, int msg, uintptr_t handle, uintptr_t p1, uintptr_t,
                               uintptr_t) {
    Detector().OnEvent(msg, handle, p1);
    return 0;
}

void qrn_http_detector_reset() { Detector().Stop(); }
