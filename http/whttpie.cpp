// CWCSHttpIE: the owner's calls, the poll and the request's clean-up.
#include "http/whttpie.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <new>
#include <thread>

#include "http/http_defs.h"
#include "http/whttpie_module.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"

using namespace http;

namespace {

constexpr char kAgent[] = "QuarnHttpAgent";
constexpr uint32_t kRequestFlags = ws::INTERNET_FLAG_RELOAD | ws::INTERNET_FLAG_NO_CACHE_WRITE |
                                   ws::INTERNET_FLAG_KEEP_CONNECTION | ws::INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr uint32_t kReadFlags = ws::IRF_ASYNC | ws::IRF_NO_WAIT;
constexpr int kHeaderSize = 256;
constexpr int kChunkFraming = 12;  // up to 8 hex digits, CR LF, and CR LF after the data

}  // namespace

// The innermost object whose sink this thread is calling: Destroy from inside that call must
// not wait for itself.
thread_local CWCSHttpIE *t_sink_caller = nullptr;

IQrnClientSocket *WCSCreateHttpIE(IQrnClientSocketSink *sink) {
    if (WCSHttpIEStartup() != 1) return nullptr;
    return new (std::nothrow) CWCSHttpIE(sink);
}

CWCSHttpIE::CWCSHttpIE(IQrnClientSocketSink *sink) : m_sink(sink), m_id(WcsNextInstance()) {
    qrn_trace_event(kTraceModule, kTraceConstruct, m_id, static_cast<const void *>(sink));
}

CWCSHttpIE::~CWCSHttpIE() {
    qrn_trace_event(kTraceModule, kTraceDestruct, m_id);
    Cleanup();
    delete[] m_send_buf;
}

int CWCSHttpIE::AddRef() { return ++m_refs; }

int CWCSHttpIE::Release() {
    if (--m_refs > 0) return 0;
    delete this;
    return 1;
}

bool CWCSHttpIE::TryAddRef() {
    int n = m_refs.load();
    while (n > 0) {
        if (m_refs.compare_exchange_weak(n, n + 1)) return true;
    }
    return false;
}

int CWCSHttpIE::Bind(const char *host, uint16_t port, uint32_t flags) {
    qrn_trace_event(kTraceModule, kTraceBind, m_id, host ? host : "", port, flags);
    CQrnFuncLock guard(WcsModuleLock());
    if (m_state != kStateIdle) {
        QRN_TRACE_ERROR("CWCSHttpIE::Bind, bad state", m_id, m_state);
        return kErrState;
    }
    if (!host || strnlen(host, kHostSize) >= static_cast<size_t>(kHostSize)) {
        QRN_TRACE_ERROR("CWCSHttpIE::Bind, bad host", host ? host : "(null)");
        return kErrArgument;
    }
    strcpy(m_host, host);
    m_port = port;
    m_bind_flags = flags;
    return 0;
}

int CWCSHttpIE::Connect(const char *path, uint16_t port, uint32_t flags) {
    CQrnFuncLock guard(WcsModuleLock());
    m_repeated = false;
    return StartRequest(path, port, flags);
}

int CWCSHttpIE::ConnectFailed(int step, int result) {
    qrn_trace_event(kTraceModule, kTraceConnectStep, m_id, step, ws::GetLastError());
    Cleanup();
    return result;
}

int CWCSHttpIE::StartRequest(const char *path, uint16_t port, uint32_t flags) {
    qrn_trace_event(kTraceModule, kTraceConnect, m_id, path ? path : "", port, flags);
    if (m_state != kStateIdle || m_host[0] == 0) {
        QRN_TRACE_ERROR("CWCSHttpIE::Connect, bad state or not bound", m_id, m_state);
        return kErrState;
    }
    if (!path) return kErrArgument;
    m_flags = 0;
    m_last_chunk = false;
    WcsRequestContext *ctx = new (std::nothrow) WcsRequestContext();
    if (!ctx) return kErrSession;
    ctx->owner = this;
    ctx->buffers.dwStructSize = sizeof(ctx->buffers);
    ctx->buffers.lpvBuffer = ctx->read_buffer;
    m_req = ctx;
    ctx->session = ws::InternetOpenA(kAgent, ws::INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, ws::INTERNET_FLAG_ASYNC);
    if (!ctx->session) return ConnectFailed(kStepSession, kErrSession);
    m_req_flags = flags | m_bind_flags;
    m_req_port = port;
    if (m_path != path) m_path = path;
    bool secure = (m_req_flags & kFlagSecure) != 0;
    uint16_t server_port = (m_port == 0 || m_port == kPortHttp) ? (secure ? kPortHttps : kPortHttp) : m_port;
    uintptr_t cv = reinterpret_cast<uintptr_t>(ctx);
    ctx->connection = ws::InternetConnectA(ctx->session, m_host, server_port, nullptr, nullptr,
                                           ws::INTERNET_SERVICE_HTTP, 0, cv);
    if (!ctx->connection) return ConnectFailed(kStepConnection, kErrOpen);
    ++ctx->handles_open;
    ws::InternetSetStatusCallback(ctx->connection, WcsStatusCallback);
    if (m_have_cred) SetCredentials(ctx->connection);
    // The certificate's name is checked as well as its chain: a request that skipped that
    // check would take any valid certificate as the server's.
    uint32_t req_flags = kRequestFlags | (secure ? ws::INTERNET_FLAG_SECURE : 0);
    const char *accept[] = {"*/*", nullptr};
    ctx->request = ws::HttpOpenRequestA(ctx->connection, IsPost() ? "POST" : "GET", path, "HTTP/1.1",
                                        nullptr, accept, req_flags, cv);
    if (!ctx->request) return ConnectFailed(kStepRequest, kErrOpen);
    ++ctx->handles_open;
    if (m_have_cred) SetCredentials(ctx->request);
    if (IsPost()) {
        char headers[kHeaderSize];
        int n = snprintf(headers, sizeof(headers), "Content-Type: application/octet-stream\r\n%s",
                         (m_req_flags & kFlagChunked) ? "Transfer-Encoding: chunked\r\n" : "");
        if (m_content_length != 0) {
            snprintf(headers + n, sizeof(headers) - n, "Content-Length: %lu\r\n",
                     static_cast<unsigned long>(m_content_length));
        }
        ws::HttpAddRequestHeadersA(ctx->request, headers, static_cast<uint32_t>(strlen(headers)), ws::HTTP_ADDREQ_FLAG_ADD);
        ctx->buffers.dwBufferTotal = m_content_length;
        if (!ws::HttpSendRequestExA(ctx->request, &ctx->buffers, nullptr, 0, cv) &&
            ws::GetLastError() != ws::ERROR_IO_PENDING) {
            return ConnectFailed(kStepSendEx, kErrSendEx);
        }
        m_state = kStatePostHead;
    } else {
        if (!ws::HttpSendRequestA(ctx->request, nullptr, 0, nullptr, 0) && ws::GetLastError() != ws::ERROR_IO_PENDING) {
            qrn_trace_event(kTraceModule, kTraceCallFailed, m_id, 0, ws::GetLastError());
            Cleanup();
            return kErrSend;
        }
        m_state = kStateWaitHead;
    }
    m_start_tick = get_tick_count();
    return 0;
}

void CWCSHttpIE::SetCredentials(ws::HINTERNET handle) {
    ws::InternetSetOptionA(handle, ws::INTERNET_OPTION_PROXY_USERNAME, m_proxy_user,
                           static_cast<uint32_t>(strlen(m_proxy_user) + 1));
    ws::InternetSetOptionA(handle, ws::INTERNET_OPTION_PROXY_PASSWORD, m_proxy_pass,
                           static_cast<uint32_t>(strlen(m_proxy_pass) + 1));
}

bool CWCSHttpIE::BodyComplete() const {
    return (m_content_length != 0 && m_total_sent >= m_content_length) || m_last_chunk;
}

bool CWCSHttpIE::EndRequest() {
    m_state = kStateWaitHead;
    if (!ws::HttpEndRequestA(m_req->request, nullptr, 0, reinterpret_cast<uintptr_t>(m_req)) &&
        ws::GetLastError() != ws::ERROR_IO_PENDING) {
        qrn_trace_event(kTraceModule, kTraceCallFailed, m_id, 0, ws::GetLastError());
        m_state = kStateFailed;
        return false;
    }
    return true;
}

int CWCSHttpIE::Send(const void *data, int length) {
    CQrnFuncLock guard(WcsModuleLock());
    if (m_state == kStateWritePending || (m_flags & kFlagOweOnSend)) {
        m_flags |= kFlagOweOnSend;
        return 0;
    }
    if (m_state != kStatePostBody || length < 0 || (!data && length) || length > INT_MAX - kChunkFraming) {
        QRN_TRACE_ERROR("CWCSHttpIE::Send, bad state or length", m_id, m_state, length);
        return -1;
    }
    int need = length + kChunkFraming;
    if (m_send_cap < need) {
        char *fresh = new (std::nothrow) char[need];
        if (!fresh) return -1;
        delete[] m_send_buf;
        m_send_buf = fresh;
        m_send_cap = need;
    }
    bool chunked = (m_req_flags & kFlagChunked) != 0;
    int n = 0;
    if (chunked) n = snprintf(m_send_buf, m_send_cap, "%x\r\n", static_cast<unsigned>(length));
    if (length) memcpy(m_send_buf + n, data, length);
    n += length;
    if (chunked) {
        memcpy(m_send_buf + n, "\r\n", 2);
        n += 2;
    }
    m_to_write = static_cast<uint32_t>(n);
    m_written = 0;
    if (chunked && length == 0) m_last_chunk = true;
    if (ws::InternetWriteFile(m_req->request, m_send_buf, m_to_write, &m_written)) {
        m_total_sent += m_written;
        qrn_trace_event(kTraceModule, kTraceWrite, m_id, m_to_write, m_written, m_total_sent);
        if (m_written != m_to_write) QRN_TRACE_ERROR("CWCSHttpIE::Send, short write", m_id, m_to_write, m_written);
        if (BodyComplete() && !EndRequest()) return -1;
        return length;
    }
    uint32_t err = ws::GetLastError();
    if (err == ws::ERROR_IO_PENDING) {
        m_total_sent += static_cast<uint32_t>(length);
        qrn_trace_event(kTraceModule, kTraceWrite, m_id, length, 0, m_total_sent);
        m_state = kStateWritePending;
        return length;
    }
    qrn_trace_event(kTraceModule, kTraceCallFailed, m_id, length, err);
    m_state = kStateFailed;
    return -1;
}

int CWCSHttpIE::Receive(void *buffer, int length) {
    CQrnFuncLock guard(WcsModuleLock());
    if (m_state < kStateReading) {
        QRN_TRACE_ERROR("CWCSHttpIE::Receive, no response yet", m_id, m_state);
        return -1;
    }
    if (!buffer || length <= 0) return 0;
    int n = m_window.Read(buffer, length);
    m_window.Consume(n);
    // Reading stopped at a full window: the internet thread goes on once half of it is free,
    // or right after the sink call that this Receive runs in.
    if (m_read_owed && !m_room_posted && t_sink_caller != this && m_state == kStateReading &&
        m_window.Used() <= kWindowLimit / 2) {
        m_room_posted = true;
        WcsQueueNotice(kNoticeWindowRoom, reinterpret_cast<uintptr_t>(m_req));
    }
    return n;
}

namespace {

void CopyText(char *dst, const char *src) {
    size_t n = strnlen(src, kCredentialSize - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

}  // namespace

int CWCSHttpIE::IOCtl(int code, uintptr_t argument) {
    CQrnFuncLock guard(WcsModuleLock());
    uint32_t *out = reinterpret_cast<uint32_t *>(argument);
    const char *text = reinterpret_cast<const char *>(argument);
    char *buffer = reinterpret_cast<char *>(argument);
    switch (code) {
    case kIoReadable:
        if (m_state < kStateReading || !out) return 0;
        *out = static_cast<uint32_t>(m_window.Used());
        return 1;
    case kIoContentLength:
        if (m_state != kStateIdle) return 0;
        m_content_length = static_cast<uint32_t>(argument);
        return 1;
    case kIoResponseLength:
        if (m_state < kStateReading || !out) return 0;
        *out = m_resp_length;
        return 1;
    case kIoTimeout:
        m_timeout = static_cast<uint32_t>(argument);
        return 0;
    case kIoSetProxyUser:
    case kIoSetProxyPass:
        if (!text) return 0;
        CopyText(code == kIoSetProxyUser ? m_proxy_user : m_proxy_pass, text);
        m_have_cred = 1;
        return 1;
    case kIoHaveCredentials:
        if (!out) return 0;
        *out = m_have_cred ? 1 : 0;
        return 1;
    case kIoGetProxyUser:
    case kIoGetProxyPass:
        if (!buffer) return 0;
        CopyText(buffer, m_have_cred ? (code == kIoGetProxyUser ? m_proxy_user : m_proxy_pass) : "");
        return 1;
    default:
        return 0;
    }
}

int CWCSHttpIE::Close() {
    qrn_trace_event(kTraceModule, kTraceClose, m_id, m_state);
    Cleanup();
    return 0;
}

int CWCSHttpIE::Destroy() {
    CQrnLock &lock = WcsModuleLock();
    lock.Lock();
    m_sink = nullptr;
    Cleanup();
    // The sink goes once this returns: a sink call under way on another thread must end first.
    int own = t_sink_caller == this ? 1 : 0;
    while (m_sink_calls > own) {
        lock.Unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.Lock();
    }
    lock.Unlock();
    return 0;
}

int CWCSHttpIE::Crack() {
    CQrnLock &lock = WcsModuleLock();
    lock.Lock();
    if (m_state == kStateFailed) {
        Cleanup();
        CallSink(SinkCall::kClose, kCodeSendFailed);
    } else if (m_state == kStateComplete && m_window.Used() == 0) {
        Cleanup();
        CallSink(SinkCall::kClose, kCodeOk);
    } else if (m_state != kStateIdle && m_timeout != 0 &&
               calc_tick_diff(m_start_tick, get_tick_count()) > m_timeout) {
        qrn_trace_event(kTraceModule, kTraceTimeout, m_id, m_timeout);
        Cleanup();
        CallSink(SinkCall::kClose, kCodeTimeout);
    }
    lock.Unlock();
    return 0;
}

void CWCSHttpIE::Cleanup() {
    qrn_trace_event(kTraceModule, kTraceCleanup, m_id, m_state, m_timeout);
    CQrnFuncLock guard(WcsModuleLock());
    m_content_length = 0;
    m_resp_length = 0;
    m_total_sent = 0;
    m_window.Reset();
    m_read_owed = false;
    m_room_posted = false;
    if (m_req) {
        WcsRequestContext *ctx = m_req;
        if (IsPost() && (m_state == kStatePostBody || m_state == kStateWritePending) && ctx->request) {
            ws::HttpEndRequestA(ctx->request, nullptr, 0, reinterpret_cast<uintptr_t>(ctx));
        }
        if (ctx->request) ws::InternetCloseHandle(ctx->request);
        if (ctx->connection) ws::InternetCloseHandle(ctx->connection);
        if (ctx->session) ws::InternetCloseHandle(ctx->session);
        // The internet thread counts the closing notices under this lock too, so exactly one
        // side sees the last of them and frees the context.
        if (ctx->closing_notices >= ctx->handles_open) delete ctx;
        else ctx->owner = nullptr;
        m_req = nullptr;
    }
    m_state = kStateIdle;
    m_timeout = 0;
}

bool CWCSHttpIE::CallSink(SinkCall call, int code, int value) {
    IQrnClientSocketSink *sink = m_sink;
    if (!sink) return false;
    CQrnLock &lock = WcsModuleLock();
    ++m_sink_calls;
    CWCSHttpIE *outer = t_sink_caller;
    t_sink_caller = this;
    lock.Unlock();
    switch (call) {
    case SinkCall::kConnect: sink->OnConnect(code); break;
    case SinkCall::kReceive: sink->OnReceive(code); break;
    case SinkCall::kSend: sink->OnSend(code); break;
    case SinkCall::kClose: sink->OnClose(code); break;
    case SinkCall::kStatus: sink->OnStatus(code, value); break;
    }
    lock.Lock();
    t_sink_caller = outer;
    --m_sink_calls;
    return true;
}

void CWCSHttpIE::ReportEnd(bool connected, int code_connected, int code_before) {
    if (connected) CallSink(SinkCall::kClose, code_connected);
    else CallSink(SinkCall::kConnect, code_before);
}

bool CWCSHttpIE::IsConnected() const {
    return IsPost() ? m_state >= kStatePostBody : m_state >= kStateReading;
}
