// CWCSHttpIE on the internet thread: what each notice of the internet layer does to the request.
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "http/http_defs.h"
#include "http/whttpie.h"
#include "http/whttpie_module.h"
#include "qrnlibl/qrn_trace.h"

using namespace http;

namespace {

constexpr char kChunked[] = "chunked";
constexpr uint32_t kCredentialsError = ws::ERROR_INTERNET_INCORRECT_PASSWORD;
constexpr uint32_t kDialogFlags = ws::FLAGS_ERROR_UI_FILTER_FOR_ERRORS | ws::FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS;

// Only a proxy's demand brings in the provider of proxy credentials: asking on an origin's 401
// or 403 would let any server a request reaches prompt the application for its proxy password.
bool AsksCredentials(uint32_t status) { return status == kHttpProxyAuth; }

}  // namespace

void CWCSHttpIE::DoCallback(uint32_t status) {
    qrn_trace_text("CWCSHttpIE::DoCallback, wParam=", status);
    CQrnLock &lock = WcsModuleLock();
    lock.Lock();
    if (m_state == kStateComplete || !m_sink || !m_req) {
        lock.Unlock();
        return;
    }
    if (status == kNoticeWindowRoom) {
        m_room_posted = false;
        if (m_state == kStateReading && m_read_owed) {
            m_read_owed = false;
            ReadLoop();
        }
    } else if (status == ws::INTERNET_STATUS_CONNECTION_CLOSED) {
        qrn_trace_event(kTraceModule, kTraceConnClosed, m_id);
        qrn_trace_text("INTERNET_STATUS_CONNECTION_CLOSED, m_state=", m_state);
        bool connected = IsConnected();
        Cleanup();
        ReportEnd(connected, kCodeClosedAfterConnect, kCodeConnectionClosed);
    } else if (m_state == kStatePostHead) {
        m_state = kStatePostBody;
        m_total_sent = 0;
        CallSink(SinkCall::kConnect, kCodeOk);
    } else if (m_state == kStateWritePending) {
        qrn_trace_event(kTraceModule, kTraceWriteDone, m_id, m_to_write, m_written);
        if (m_to_write != m_written) QRN_TRACE_ERROR("CWCSHttpIE::DoCallback, short write", m_id, m_to_write, m_written);
        m_state = kStatePostBody;
        if (BodyComplete()) {
            EndRequest();
        } else if (m_flags & kFlagOweOnSend) {
            m_flags &= ~kFlagOweOnSend;
            CallSink(SinkCall::kSend, kCodeOk);
        }
    } else if (m_state == kStateWaitHead) {
        OnResponseHead();
    } else if (m_state == kStateReadPending) {
        m_state = kStateReading;
        ReadLoop();
    }
    lock.Unlock();
}

void CWCSHttpIE::OnResponseHead() {
    bool connected = IsConnected();
    uint32_t code = 0;
    uint32_t len = sizeof(code);
    if (!ws::HttpQueryInfoA(m_req->request, ws::HTTP_QUERY_STATUS_CODE | ws::HTTP_QUERY_FLAG_NUMBER, &code, &len, nullptr)) {
        code = 0;
    }
    if (code != kHttpOk) {
        qrn_trace_event(kTraceModule, kTraceStatus, m_id, code, 0);
        if (AsksCredentials(code) && !m_repeated) {
            AskCredentials(connected);
            return;
        }
        Cleanup();
        // A repeated request that is refused again had its credentials refused.
        int before = AsksCredentials(code) ? kCodeCredentialsFailed : kCodeConnectionClosed;
        int after = AsksCredentials(code) ? kCodeCredentialsFailed : kCodeClosedAfterConnect;
        ReportEnd(connected, after, before);
        return;
    }
    char te[kTransferEncodingSize];
    len = sizeof(te);
    if (ws::HttpQueryInfoA(m_req->request, ws::HTTP_QUERY_TRANSFER_ENCODING, te, &len, nullptr) &&
        strcasecmp(te, kChunked) != 0) {
        QRN_TRACE_ERROR("CWCSHttpIE::DoCallback, transfer encoding", te);
    }
    uint32_t length = 0;
    len = sizeof(length);
    if (!ws::HttpQueryInfoA(m_req->request, ws::HTTP_QUERY_CONTENT_LENGTH | ws::HTTP_QUERY_FLAG_NUMBER, &length, &len, nullptr)) {
        qrn_trace_event(kTraceModule, kTraceStatus, m_id, kHttpOk, -1);
        length = 0;
    }
    m_resp_length = length;
    qrn_trace_event(kTraceModule, kTraceStatus, m_id, kHttpOk, m_resp_length);
    m_state = kStateReading;
    m_read_owed = false;
    m_req->length_expected = m_resp_length;
    m_req->bytes_read = 0;
    if (!IsPost()) {
        CallSink(SinkCall::kConnect, kCodeOk);
        if (m_state != kStateReading) return;
    }
    ReadLoop();
}

void CWCSHttpIE::AskCredentials(bool connected) {
    CQrnLock &lock = WcsModuleLock();
    m_timeout = 0;
    m_dlg_open = 1;
    qrn_trace_text("popup asking auth dlg");
    CallSink(SinkCall::kStatus, kStatusDialogShowing);
    if (!m_req) return;  // closed from inside the status call
    WcsRequestContext *ctx = m_req;
    ws::HINTERNET request = ctx->request;
    // The provider is the application's: it runs without the module lock.
    lock.Unlock();
    uint32_t answer = ws::InternetErrorDlg(nullptr, request, kCredentialsError, kDialogFlags, nullptr);
    lock.Lock();
    qrn_trace_text("asking auth dlg closed");
    m_dlg_open = 0;
    CallSink(SinkCall::kStatus, kStatusDialogClosed);
    if (m_req != ctx) return;  // closed or destroyed meanwhile
    if (answer == ws::ERROR_SUCCESS || answer == ws::ERROR_INTERNET_FORCE_RETRY) {
        uint32_t len = sizeof(m_proxy_user);
        ws::InternetQueryOptionA(request, ws::INTERNET_OPTION_PROXY_USERNAME, m_proxy_user, &len);
        len = sizeof(m_proxy_pass);
        ws::InternetQueryOptionA(request, ws::INTERNET_OPTION_PROXY_PASSWORD, m_proxy_pass, &len);
        m_have_cred = 1;
        // The owner sends the same body again, so it keeps its length.
        uint32_t length = m_content_length;
        Cleanup();
        m_content_length = length;
        m_repeated = true;
        if (StartRequest(m_path.c_str(), m_req_port, m_req_flags) != 0) {
            ReportEnd(connected, kCodeClosedAfterConnect, kCodeConnectionClosed);
        }
        return;
    }
    Cleanup();
    ReportEnd(connected, kCodeCredentialsFailed, kCodeCredentialsFailed);
}

void CWCSHttpIE::ReadLoop() {
    for (;;) {
        if (!ReadAvailable()) return;
        CallSink(SinkCall::kReceive, kCodeOk);
        // An owner that took bytes from a full window inside that call lets reading go on here.
        if (m_state != kStateReading || !m_read_owed || m_window.Used() >= kWindowLimit) return;
        m_read_owed = false;
    }
}

bool CWCSHttpIE::ReadAvailable() {
    for (;;) {
        WcsRequestContext *ctx = m_req;
        if (!ctx) return false;
        uint32_t want = static_cast<uint32_t>(kWindowLimit - std::min(m_window.Used(), kWindowLimit));
        uint32_t left = ctx->length_expected > ctx->bytes_read ? ctx->length_expected - ctx->bytes_read : 0;
        if (m_resp_length != 0 && left < want) want = left;
        if (want == 0 && (m_resp_length == 0 || left != 0)) {
            m_read_owed = true;  // full: the internet layer holds the rest and stops receiving
            return true;
        }
        // Straight into the window; a read of 0 bytes at the announced length finds the end.
        int place_len = 0;
        char *place = want ? m_window.WritePlace(static_cast<int>(want), &place_len) : ctx->read_buffer;
        if (!place) {
            QRN_TRACE_ERROR("CWCSHttpIE::ReadLoop, no room in the window", m_id, want);
            Cleanup();
            CallSink(SinkCall::kClose, kCodeReadFailed);
            return false;
        }
        ctx->buffers.lpvBuffer = place;
        ctx->buffers.dwBufferLength = static_cast<uint32_t>(place_len);
        if (!ws::InternetReadFileExA(ctx->request, &ctx->buffers, ws::IRF_ASYNC | ws::IRF_NO_WAIT,
                                     reinterpret_cast<uintptr_t>(ctx))) {
            uint32_t err = ws::GetLastError();
            if (err == ws::ERROR_IO_PENDING) {
                m_state = kStateReadPending;
                return true;
            }
            qrn_trace_event(kTraceModule, kTraceReadFailed, m_id, err);
            Cleanup();
            CallSink(SinkCall::kClose, kCodeReadFailed);
            return false;
        }
        uint32_t n = ctx->buffers.dwBufferLength;
        if (n == 0) {
            qrn_trace_event(kTraceModule, kTraceBodyEnd, m_id, ctx->bytes_read);
            m_state = kStateComplete;
            return true;
        }
        m_window.Commit(static_cast<int>(n));
        ctx->bytes_read += n;
        qrn_trace_event(kTraceModule, kTraceRead, m_id, n, ctx->bytes_read);
    }
}
