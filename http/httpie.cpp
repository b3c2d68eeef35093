// The HTTP socket functions over CWCSHttpIE: the handles, their registry and the poll.
#include "http/httpie.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "http/http_defs.h"
#include "http/whttpie.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"

using namespace http;

static_assert(kMsgConnect == QRN_TP_HTTP_MSG_CONNECT && kMsgReceive == QRN_TP_HTTP_MSG_READABLE &&
                  kMsgSend == QRN_TP_HTTP_MSG_WRITABLE && kMsgClose == QRN_TP_HTTP_MSG_CLOSED &&
                  kMsgStatus == QRN_TP_HTTP_MSG_STATUS, "the public message codes are the layer's");
static_assert(kCodeConnectionClosed == QRN_TP_HTTP_CLOSED_BEFORE && kCodeClosedAfterConnect == QRN_TP_HTTP_CLOSED_AFTER &&
                  kCodeCredentialsFailed == QRN_TP_HTTP_CREDENTIALS_FAILED && kCodeTimeout == QRN_TP_HTTP_TIMEOUT &&
                  kCodeSendFailed == QRN_TP_HTTP_SEND_FAILED && kCodeReadFailed == QRN_TP_HTTP_READ_FAILED,
              "the public codes are the layer's");
static_assert(kOptLength == QRN_TP_HTTP_OPT_LENGTH && kOptCount == QRN_TP_HTTP_OPT_COUNT &&
                  kOptCallback == QRN_TP_HTTP_OPT_CALLBACK && kOptUserData == QRN_TP_HTTP_OPT_USER_DATA,
              "the public options are the layer's");

namespace {

class CMyQrnClientSocketSink : public IQrnClientSocketSink, public CQrnObject {
public:
    CMyQrnClientSocketSink(qrn_callback callback, uintptr_t user_data);
    ~CMyQrnClientSocketSink() override;

    // The handle is the object's address: the memory of an ended handle goes back to the heap
    // only after kQuarantine more have ended, so that a stale handle, which a user may still
    // hold for a moment after its message 5, gets -1 instead of naming the next request.
    static void *operator new(size_t size, const std::nothrow_t &tag) noexcept;
    static void operator delete(void *p) noexcept;

    int OnConnect(int code) override;
    int OnReceive(int code) override;
    int OnSend(int code) override;
    int OnClose(int code) override;
    int OnStatus(int status, int value) override;

    // Ends the handle with a last message, unless someone else ended it first.
    void Terminate(int msg, int code);
    void Deliver(int msg, uintptr_t p1);

    std::atomic<qrn_callback> m_callback;
    std::atomic<uintptr_t> m_user_data;
    IQrnClientSocket *m_socket = nullptr;
    std::atomic<uint32_t> m_length{0};
    std::atomic<uint32_t> m_count{0};
    std::atomic<bool> m_refused{false};  // its request could not start: report it soon
};

constexpr int kQuarantine = 64;
std::mutex g_quarantine_mutex;
void *g_quarantine[kQuarantine] = {};  // a plain array: what it holds stays reachable at exit
int g_quarantine_next = 0;

void *CMyQrnClientSocketSink::operator new(size_t size, const std::nothrow_t &tag) noexcept {
    return ::operator new(size, tag);
}

void CMyQrnClientSocketSink::operator delete(void *p) noexcept {
    void *oldest;
    {
        std::lock_guard<std::mutex> guard(g_quarantine_mutex);
        oldest = g_quarantine[g_quarantine_next];
        g_quarantine[g_quarantine_next] = p;
        g_quarantine_next = (g_quarantine_next + 1) % kQuarantine;
    }
    ::operator delete(oldest);
}

// The open handles. Each holds one reference for its place here.
CQrnLock g_registry_lock;
qrn_array *g_registry = nullptr;  // of CMyQrnClientSocketSink pointers

// The poll runs while a handle is open. Only the poll itself kills its timer (which never
// waits then), so that no thread ever waits for a poll that may be waiting for it.
std::mutex g_timer_mutex;
bool g_timer_on = false;

int RegistrySize() {
    CQrnFuncLock guard(g_registry_lock);
    return g_registry ? qrn_array_size(g_registry) : 0;
}

int RegistryFind(CMyQrnClientSocketSink *s) {
    for (int i = 0; i < qrn_array_size(g_registry); ++i) {
        if (*static_cast<CMyQrnClientSocketSink **>(qrn_array_get(g_registry, i)) == s) return i;
    }
    return -1;
}

bool RegistryAdd(CMyQrnClientSocketSink *s) {
    std::lock_guard<std::mutex> timer_guard(g_timer_mutex);
    {
        CQrnFuncLock guard(g_registry_lock);
        if (!g_registry) {
            g_registry = qrn_array_init_ex(sizeof(CMyQrnClientSocketSink *), 0);
            if (!g_registry) return false;
            qrn_array_set_lock(g_registry, &g_registry_lock);
        }
        if (qrn_array_append(g_registry, &s) < 0) return false;
    }
    if (!g_timer_on) {
        qrn_timer_set(qrn_wie_timer_callback, 0, kTimerPeriodMs);
        g_timer_on = true;
    }
    return true;
}

// Takes the handle out; false when it was not there (ended or closed already).
bool RegistryTake(CMyQrnClientSocketSink *s) {
    std::lock_guard<std::mutex> timer_guard(g_timer_mutex);
    CQrnFuncLock guard(g_registry_lock);
    int i = g_registry ? RegistryFind(s) : -1;
    if (i < 0) return false;
    qrn_array_remove(g_registry, i);
    if (qrn_array_size(g_registry) == 0) g_timer_on = false;
    return true;
}

// The handle with a reference for the caller, or null for one that is not open.
CMyQrnClientSocketSink *RegistryRef(uintptr_t handle) {
    CMyQrnClientSocketSink *s = reinterpret_cast<CMyQrnClientSocketSink *>(handle);
    CQrnFuncLock guard(g_registry_lock);
    if (!g_registry || RegistryFind(s) < 0) return nullptr;
    s->AddRef();
    return s;
}

std::vector<CMyQrnClientSocketSink *> RegistrySnapshot() {
    std::vector<CMyQrnClientSocketSink *> all;
    CQrnFuncLock guard(g_registry_lock);
    int n = g_registry ? qrn_array_size(g_registry) : 0;
    for (int i = 0; i < n; ++i) {
        CMyQrnClientSocketSink *s = *static_cast<CMyQrnClientSocketSink **>(qrn_array_get(g_registry, i));
        s->AddRef();
        all.push_back(s);
    }
    return all;
}

CMyQrnClientSocketSink::CMyQrnClientSocketSink(qrn_callback callback, uintptr_t user_data)
    : m_callback(callback), m_user_data(user_data) {
    qrn_trace_text("CMyQrnClientSocketSink::CMyQrnClientSocketSink, this=", static_cast<const void *>(this));
}

CMyQrnClientSocketSink::~CMyQrnClientSocketSink() {
    qrn_trace_text("CMyQrnClientSocketSink::~CMyQrnClientSocketSink, this=", static_cast<const void *>(this));
    if (m_socket) {
        m_socket->Destroy();
        m_socket->Release();
    }
}

void CMyQrnClientSocketSink::Deliver(int msg, uintptr_t p1) {
    qrn_callback cb = m_callback.load();
    if (cb) cb(m_user_data.load(), msg, reinterpret_cast<uintptr_t>(this), p1, 0, 0);
}

void CMyQrnClientSocketSink::Terminate(int msg, int code) {
    qrn_callback cb = m_callback.load();
    uintptr_t user = m_user_data.load();
    uintptr_t handle = reinterpret_cast<uintptr_t>(this);
    if (!RegistryTake(this)) return;  // closed by its user meanwhile: no message follows
    m_socket->Destroy();
    ReleaseRef();  // may be the last: nothing of this object is used below
    if (cb) cb(user, msg, handle, static_cast<uintptr_t>(code), 0, 0);
}

int CMyQrnClientSocketSink::OnConnect(int code) {
    qrn_trace_text("CMyQrnClientSocketSink::OnConnect, nErrorCode=", code);
    if (code != kCodeOk) {
        Terminate(kMsgConnect, code);
        return 0;
    }
    m_length = 0;
    m_count = 0;
    Deliver(kMsgConnect, 0);
    return 0;
}

int CMyQrnClientSocketSink::OnReceive(int) {
    qrn_trace_text("CMyQrnClientSocketSink::OnReceive");
    if (m_length == 0) {
        uint32_t length = 0;
        m_socket->IOCtl(kIoResponseLength, reinterpret_cast<uintptr_t>(&length));
        m_length = length;
    }
    uint32_t readable = 0;
    m_socket->IOCtl(kIoReadable, reinterpret_cast<uintptr_t>(&readable));
    Deliver(kMsgReceive, readable);
    return 0;
}

int CMyQrnClientSocketSink::OnSend(int) {
    qrn_trace_text("CMyQrnClientSocketSink::OnSend");
    Deliver(kMsgSend, 0);
    return 0;
}

int CMyQrnClientSocketSink::OnClose(int code) {
    qrn_trace_text("CMyQrnClientSocketSink::OnClose, nErrorCode=", code);
    Terminate(kMsgClose, code);
    return 0;
}

int CMyQrnClientSocketSink::OnStatus(int status, int) {
    qrn_trace_text("CMyQrnClientSocketSink::OnStatus, status=", status);
    Deliver(kMsgStatus, static_cast<uintptr_t>(status));
    return 0;
}

constexpr uint32_t kRefusedDelayMs = 1;

// Delivers the failing connect message of a request that could not start, on the timer
// thread, as soon as the connect call has returned; a one-shot that ends its own timer.
int RefusedCallback(uintptr_t user_data, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    qrn_timer_kill(RefusedCallback, user_data);  // from its own callback: does not wait
    CQrnRefHolder<CMyQrnClientSocketSink> sink(RegistryRef(user_data));
    if (sink && sink->m_refused.exchange(false)) sink->Terminate(kMsgConnect, kCodeConnectionClosed);
    return 0;
}

int StartRequest(IQrnClientSocket *socket, const char *host, int port, int bGet, const char *url,
                 unsigned int content_length) {
    uint16_t p = static_cast<uint16_t>(port);
    int rc = socket->Bind(host, p, 0);
    if (rc != 0) return rc;
    if (bGet) return socket->Connect(url, p, 0);
    if (content_length == 0) return socket->Connect(url, p, kFlagChunked | kFlagPost);
    socket->IOCtl(kIoContentLength, content_length);
    return socket->Connect(url, p, kFlagPost);
}

}  // namespace

uintptr_t qrn_http_sock_connect(qrn_callback callback, uintptr_t user_data, const char *host, int port,
                                int bGet, const char *url, unsigned int content_length) {
    QRN_TRACE_FUNC("qrn_http_sock_connect");
    CMyQrnClientSocketSink *sink = new (std::nothrow) CMyQrnClientSocketSink(callback, user_data);
    if (!sink) return 0;
    IQrnClientSocket *socket = WCSCreateHttpIE(sink);
    if (!socket) {
        QRN_TRACE_ERROR("create IE socket failed");
        sink->ReleaseRef();
        return 0;
    }
    sink->m_socket = socket;
    socket->AddRef();
    sink->m_length = content_length;
    sink->m_count = 0;
    // In the registry before the request starts: its outcome may come at once on another thread.
    if (!RegistryAdd(sink)) {
        QRN_TRACE_ERROR("qrn_http_sock_connect, registry full");
        sink->ReleaseRef();
        return 0;
    }
    uintptr_t handle = reinterpret_cast<uintptr_t>(sink);
    if (StartRequest(socket, host, port, bGet, url, content_length) != 0) {
        sink->m_refused = true;
        qrn_timer_set(RefusedCallback, handle, kRefusedDelayMs);
    }
    qrn_trace_text("qrn_http_sock_connect, (bGet, url, content_length, ret_handle)= ", bGet, url ? url : "",
                   content_length, static_cast<const void *>(sink));
    return handle;
}

int qrn_http_sock_option(uintptr_t handle, int option, uintptr_t value) {
    if (!handle) return -1;
    CQrnRefHolder<CMyQrnClientSocketSink> sink(RegistryRef(handle));
    if (!sink) {
        QRN_TRACE_ERROR("qrn_http_sock_option, unknown handle", handle);
        return -1;
    }
    uint32_t *out = reinterpret_cast<uint32_t *>(value);
    switch (option) {
    case kOptLength:
        if (out) *out = sink->m_length;
        break;
    case kOptCount:
        if (out) *out = sink->m_count;
        break;
    case kOptCallback:
        sink->m_callback = reinterpret_cast<qrn_callback>(value);
        break;
    case kOptUserData:
        sink->m_user_data = value;
        break;
    default:
        QRN_TRACE_ERROR("qrn_http_sock_option, unknown option", option);
        break;
    }
    return 0;
}

int qrn_http_sock_send(uintptr_t handle, const void *data, int length) {
    qrn_trace_text("qrn_http_sock_send, len=", length);
    if (!handle) {
        QRN_TRACE_ERROR("null");
        return -1;
    }
    CQrnRefHolder<CMyQrnClientSocketSink> sink(RegistryRef(handle));
    if (!sink || length < 0 || (!data && length)) return -1;
    const char *bytes = static_cast<const char *>(data);
    int total = 0;
    while (total < length) {
        int piece = length - total < kSendPiece ? length - total : kSendPiece;
        int rc = sink->m_socket->Send(bytes + total, piece);
        // Bytes already taken stay counted: the caller must not offer them again.
        if (rc < 0) {
            if (total == 0) return rc;
            break;
        }
        total += rc;
        if (rc < piece) break;
    }
    sink->m_count += static_cast<uint32_t>(total);
    return total;
}

int qrn_http_sock_recv(uintptr_t handle, void *buffer, int length) {
    if (!handle) return -1;
    CQrnRefHolder<CMyQrnClientSocketSink> sink(RegistryRef(handle));
    if (!sink) return -1;
    int rc = sink->m_socket->Receive(buffer, length);
    if (rc > 0) sink->m_count += static_cast<uint32_t>(rc);
    return rc;
}

int qrn_http_sock_close(uintptr_t handle) {
    qrn_trace_text("qrn_http_sock_close, handle=", static_cast<const void *>(reinterpret_cast<void *>(handle)));
    if (!handle) return -1;
    CMyQrnClientSocketSink *sink = reinterpret_cast<CMyQrnClientSocketSink *>(handle);
    if (!RegistryTake(sink)) {
        QRN_TRACE_ERROR("qrn_http_sock_close, unknown handle", handle);
        return -1;
    }
    sink->m_socket->Destroy();
    sink->ReleaseRef();
    return 0;
}

int qrn_wie_timer_callback(uintptr_t, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    {
        std::lock_guard<std::mutex> guard(g_timer_mutex);
        if (!g_timer_on) {
            qrn_timer_kill(qrn_wie_timer_callback, 0);  // from its own callback: does not wait
            return 0;
        }
    }
    for (CMyQrnClientSocketSink *s : RegistrySnapshot()) {
        if (s->m_refused.exchange(false)) s->Terminate(kMsgConnect, kCodeConnectionClosed);
        else s->m_socket->Crack();
        s->ReleaseRef();
    }
    return 0;
}

bool qrn_http_sock_timer_on() {
    std::lock_guard<std::mutex> guard(g_timer_mutex);
    return g_timer_on && RegistrySize() > 0;
}

void qrn_http_sock_set_credentials_provider(qrn_credentials_provider provider) {
    ws::InternetSetCredentialsProvider(provider);
}
