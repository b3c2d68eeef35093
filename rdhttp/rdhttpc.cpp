// The tunnel client behind each tunnel handle, the qrn_rdhttp_* functions and the one callback
// of the tunnel's HTTP requests, timers and detector.
//
// Lock rules: g_table_lock guards the handle table; a lookup takes a reference under it. Each
// client's m_lock guards the client and its tunnel object. Reports to the layer above are
// queued under m_lock and made after it is released, HTTP requests are closed on the timer
// thread (rdhttp_close_request), so no thread ever waits for another while holding a lock
// that the other may want.
#include "rdhttp/rdhttpc.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/detectr.h"
#include "http/http_defs.h"
#include "http/httpie.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdhttp/bigpost.h"
#include "rdhttp/rdhttp_defs.h"
#include "rdhttp/singlepost.h"

int qrn_rdhttp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3);

namespace {

constexpr int kRefused = -1;
constexpr int kTableInitial = 4;
constexpr int kTableGrow = 16;
constexpr uint32_t kCloserPeriodMs = 1;
constexpr uint32_t kHandOverDelayMs = 1;

struct CReport {
    int msg;
    uint32_t p1;
    uint32_t p2;
};

class CRdhttpClient : public CQrnObject, public IHttpClientSocketSink {
public:
    CRdhttpClient(int handle, const char *server_ip, uint16_t port, qrn_callback callback, uintptr_t user_data)
        : m_handle(handle), m_server_ip(server_ip), m_port(port), m_callback(callback), m_user_data(user_data) {
        QRN_TRACE_FUNC("CRdhttpClient::CRdhttpClient");
    }
    ~CRdhttpClient() override {
        QRN_TRACE_FUNC("CRdhttpClient::~CRdhttpClient");
        DropSocket();
    }

    const char *GetServerAddr() override { return m_server_ip.c_str(); }
    uint16_t GetServerPort() override { return m_port; }
    uintptr_t GetTunnelHandle() override { return static_cast<uintptr_t>(m_handle); }
    void OnConfirm(uint32_t result) override;
    void OnRead(uint32_t length) override { Report(rdhttp::kMsgRead, length, 0); }
    void OnWrite() override { Report(rdhttp::kMsgWrite, 0, 0); }
    void OnClose(uint32_t) override;
    void OnStatus(uint32_t type, uint32_t value) override { Report(rdhttp::kMsgStatus, type, value); }

    CQrnLock &Lock() { return m_lock; }
    IHttpClientSocket *Socket() const { return m_socket; }
    bool Ended() const { return m_ended; }
    // Closed by the layer above (it may still linger): unknown to the qrn_rdhttp_* calls.
    bool Closed() const { return m_closed; }
    void OnDetected(uint32_t result, uint32_t mode);
    // Hands the queued reports to the layer above; call with no lock held.
    void Deliver();
    void DropSocket();
    void AnnounceRest(uint32_t announced);
    // While the connect call runs nothing is reported: its outcome arrives later, or the call
    // fails when the failure came from within it, on its own thread. After a close nothing is
    // reported at all.
    void SetConnecting(bool on) {
        m_connecting = on;
        m_connect_thread = on ? std::this_thread::get_id() : std::thread::id();
    }
    bool FailedInConnectCall() const { return m_failed_in_call; }
    void SetClosed() { m_closed = true; }
    // After a close by the layer above: true when the tunnel object sees its last uplink bytes
    // through first, the client staying in the table (its requests and timers name it) until
    // the object reports the end or the linger time has passed.
    bool StartLinger();
    bool Up() const { return m_socket != nullptr && !m_ended && m_up; }
    bool HasReports() const { return !m_reports.empty(); }
    void SetNotice(qrn_callback notice, uintptr_t context) {
        m_notice = notice;
        m_notice_context = context;
    }
    // The close notice, once due; call with no lock held.
    void NotifyClosed();
    // The linger timer's turn; true when the linger is over.
    bool LingerTick();
    void Taken(int n) { m_unread -= std::min(m_unread, static_cast<uint32_t>(n)); }

private:
    void Connect2(uint32_t mode);
    void Report(int msg, uint32_t p1, uint32_t p2) { m_reports.push_back({msg, p1, p2}); }
    void End(int msg, uint32_t p1);

    CQrnLock m_lock;
    const int m_handle;
    const std::string m_server_ip;
    const uint16_t m_port;
    const qrn_callback m_callback;
    const uintptr_t m_user_data;
    uint8_t m_mode = 0;
    IHttpClientSocket *m_socket = nullptr;
    bool m_ended = false;
    bool m_connecting = true;  // a client is made by the connect call, on its thread
    std::thread::id m_connect_thread = std::this_thread::get_id();
    bool m_failed_in_call = false;
    std::atomic<bool> m_closed{false};
    bool m_lingering = false;
    uint32_t m_linger_from = 0;
    bool m_up = false;
    bool m_delivered = false;
    bool m_notice_due = false;
    qrn_callback m_notice = nullptr;
    uintptr_t m_notice_context = 0;
    // Bytes the last read report announced that the layer above has not taken yet.
    uint32_t m_unread = 0;
    std::vector<CReport> m_reports;
};

CQrnLock g_table_lock;
qrn_handle_mgr *g_table = nullptr;

std::atomic<void (*)(int)> g_connect_hook{nullptr};

// Requests waiting to be closed on the timer thread.
std::mutex g_closer_mutex;
std::vector<uintptr_t> g_closing;
bool g_closer_on = false;

int CloserTick(uintptr_t, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    std::vector<uintptr_t> now;
    {
        std::lock_guard<std::mutex> guard(g_closer_mutex);
        now.swap(g_closing);
        if (now.empty()) {
            // From its own tick, the kill does not wait.
            qrn_timer_kill(&CloserTick, 0);
            g_closer_on = false;
            return 0;
        }
    }
    for (uintptr_t handle : now) qrn_http_sock_close(handle);
    return 0;
}

int LingerCallback(uintptr_t user_data, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t);

CRdhttpClient *Find(int handle) {
    CQrnFuncLock guard(g_table_lock);
    if (g_table == nullptr) return nullptr;
    void **slot = qrn_handle_mgr_get(g_table, handle);
    if (slot == nullptr || *slot == nullptr) return nullptr;
    auto *client = static_cast<CRdhttpClient *>(*slot);
    client->AddRef();
    return client;
}

// Takes the client out of the table; true when it was there (its table reference is the
// caller's to drop).
bool Remove(int handle, CRdhttpClient *client) {
    CQrnFuncLock guard(g_table_lock);
    if (g_table == nullptr) return false;
    void **slot = qrn_handle_mgr_get(g_table, handle);
    if (slot == nullptr || *slot != client) return false;
    qrn_handle_mgr_free_id(g_table, handle);
    return true;
}

void CRdhttpClient::DropSocket() {
    if (m_socket == nullptr) return;
    m_socket->Close();
    m_socket->ReleaseRef();
    m_socket = nullptr;
}

// After a failure the tunnel object has let its requests go; the client leaves the table and
// its last report follows once the lock is released.
void CRdhttpClient::End(int msg, uint32_t p1) {
    if (m_ended) return;
    m_ended = true;
    m_failed_in_call = m_connecting && std::this_thread::get_id() == m_connect_thread;
    qrn_trace_text("CRdhttpClient::End, (handle, msg, p1)=", m_handle, msg, p1);
    m_notice_due = m_lingering && m_notice != nullptr;
    DropSocket();
    Report(msg, p1, 0);
    if (Remove(m_handle, this)) ReleaseRef();  // the caller's own reference keeps it for now
}

void CRdhttpClient::OnConfirm(uint32_t result) {
    if (result == 0) {
        qrn_trace_text("CRdhttpClient::OnConfirm, tunnel up, handle=", m_handle);
        m_up = true;
        Report(rdhttp::kMsgConnect, 0, 0);
    } else {
        End(rdhttp::kMsgConnect, result);
    }
}

void CRdhttpClient::OnClose(uint32_t code) {
    m_delivered = m_lingering && code == rdhttp::kCodeDelivered;
    End(rdhttp::kMsgClose, rdhttp::kCodeClosed);
}

void CRdhttpClient::NotifyClosed() {
    qrn_callback notice;
    uintptr_t context;
    uint32_t code;
    {
        CQrnFuncLock guard(m_lock);
        if (!m_notice_due) return;
        m_notice_due = false;
        notice = m_notice;
        context = m_notice_context;
        m_notice = nullptr;
        code = m_delivered ? rdhttp::kCodeDelivered : rdhttp::kCodeClosed;
    }
    qrn_trace_text("CRdhttpClient::NotifyClosed, (handle, delivered)=", m_handle, code == rdhttp::kCodeDelivered ? 1 : 0);
    notice(context, rdhttp::kMsgCloseDone, static_cast<uintptr_t>(m_handle), code, 0, 0);
}

bool CRdhttpClient::StartLinger() {
    if (m_ended || m_socket == nullptr || !m_socket->Linger()) return false;
    m_lingering = true;
    m_linger_from = get_tick_count();
    qrn_trace_text("CRdhttpClient::StartLinger, handle=", m_handle);
    qrn_timer_set(&LingerCallback, static_cast<uintptr_t>(m_handle), rdhttp::kLingerTickMs);
    return true;
}

bool CRdhttpClient::LingerTick() {
    if (!m_lingering || m_ended) return true;
    if (calc_tick_diff(m_linger_from, get_tick_count()) < rdhttp::kLingerMs) return false;
    qrn_trace_text("CRdhttpClient::LingerTick, linger time over, handle=", m_handle);
    End(rdhttp::kMsgClose, rdhttp::kCodeClosed);
    return true;
}

void CRdhttpClient::OnDetected(uint32_t result, uint32_t mode) {
    if (m_ended || m_socket != nullptr) return;
    if (result != http::kDetectOk) {
        End(rdhttp::kMsgConnect, result);
        return;
    }
    m_mode = static_cast<uint8_t>(mode);
    Connect2(mode);
}

void CRdhttpClient::Connect2(uint32_t mode) {
    QRN_TRACE_FUNC("CRdhttpClient::Connect2");
    if (mode == http::kModeBigPost) m_socket = new CHttpClientBigPost(this);
    else if (mode == http::kModeSmallPost) m_socket = new CHttpClientSinglePost(this);
    if (m_socket == nullptr) {
        // No tunnel form carries chunked posts (mode 2), nor any other mode.
        QRN_TRACE_ERROR("no tunnel form for mode", mode);
        End(rdhttp::kMsgConnect, rdhttp::kFailRejected);
        return;
    }
    if (m_socket->Connect() != 0) {
        QRN_TRACE_ERROR("tunnel request failed");
        End(rdhttp::kMsgConnect, rdhttp::kFailBroken);
    }
}

void CRdhttpClient::Deliver() {
    for (;;) {
        CReport r;
        {
            CQrnFuncLock guard(m_lock);
            if (m_connecting || m_closed || m_reports.empty()) return;
            r = m_reports.front();
            m_reports.erase(m_reports.begin());
            if (r.msg == rdhttp::kMsgRead) m_unread = r.p1;
        }
        m_callback(m_user_data, r.msg, static_cast<uintptr_t>(m_handle), r.p1, r.p2, 0);
        if (r.msg == rdhttp::kMsgRead) AnnounceRest(r.p1);
    }
}

// The tunnel reports bytes as they arrive, not while they wait: a layer above that stops at a
// read budget of its own, with bytes left, hears of them again here for as long as it keeps
// taking some. One that takes none is left alone.
void CRdhttpClient::AnnounceRest(uint32_t announced) {
    CQrnFuncLock guard(m_lock);
    if (m_closed || m_ended || m_unread == 0 || m_unread >= announced) return;
    for (const CReport &r : m_reports) {
        if (r.msg == rdhttp::kMsgRead) return;  // a newer report tells the whole count
    }
    m_reports.insert(m_reports.begin(), CReport{rdhttp::kMsgRead, m_unread, 0});
}

// Runs work on the client of handle under its lock; an event's reports are then made, while a
// call from the layer above leaves them for the next event (it must not be called back from
// within its own call).
template <class F>
void WithClient(int handle, bool deliver, F &&work) {
    CRdhttpClient *client = Find(handle);
    if (client == nullptr) return;
    {
        CQrnFuncLock guard(client->Lock());
        work(client);
    }
    if (deliver) client->Deliver();
    client->NotifyClosed();
    client->ReleaseRef();
}

// What a tunnel reported on other threads while its connect call ran: the whole exchange
// may have completed, or failed, meanwhile, and no later event would carry these reports (the
// far side waits for the client; a failed client has left the table). A one-shot on the
// timer thread, holding a reference of the client, hands them over once the call has returned.
int HandOverCallback(uintptr_t user_data, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    qrn_timer_kill(&HandOverCallback, user_data);  // from its own callback: does not wait
    auto *client = reinterpret_cast<CRdhttpClient *>(user_data);
    client->Deliver();
    client->NotifyClosed();
    client->ReleaseRef();
    return 0;
}

// The handle may have gone, or gone to a new client, before the timer's turn: a client that is
// not lingering ends the timer as well. From its own tick the kill never waits.
int LingerCallback(uintptr_t user_data, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    bool over = true;
    WithClient(static_cast<int>(user_data), false, [&](CRdhttpClient *c) { over = c->LingerTick(); });
    if (over) qrn_timer_kill(&LingerCallback, user_data);
    return 0;
}

// The HTTP layer ended the request itself, and its handle (an object's address) may come back
// for a new request: a close still queued for it would end that one.
void ForgetRequest(uintptr_t handle) {
    std::lock_guard<std::mutex> guard(g_closer_mutex);
    g_closing.erase(std::remove(g_closing.begin(), g_closing.end(), handle), g_closing.end());
}

}  // namespace

void rdhttp_set_connect_hook(void (*hook)(int handle)) { g_connect_hook = hook; }

bool rdhttp_closer_busy() {
    std::lock_guard<std::mutex> guard(g_closer_mutex);
    return g_closer_on;
}

void rdhttp_close_request(uintptr_t handle) {
    if (handle == 0) return;
    std::lock_guard<std::mutex> guard(g_closer_mutex);
    g_closing.push_back(handle);
    if (!g_closer_on) g_closer_on = qrn_timer_set(&CloserTick, 0, kCloserPeriodMs) == 0;
}

int qrn_rdhttp_listen(const char *, int, qrn_callback, uintptr_t) {
    QRN_TRACE_FUNC("qrn_rdhttp_listen");
    QRN_TRACE_ERROR("the tunnel has no server side");
    return kRefused;
}

int qrn_rdhttp_connect(const char *server_ip, int port, qrn_callback callback, uintptr_t user_data) {
    QRN_TRACE_FUNC("qrn_rdhttp_connect");
    if (server_ip == nullptr || callback == nullptr) return 0;
    CRdhttpClient *client = nullptr;
    int handle = 0;
    {
        CQrnFuncLock guard(g_table_lock);
        if (g_table == nullptr) g_table = qrn_handle_mgr_create(kTableInitial, kTableGrow);
        if (g_table == nullptr || (handle = qrn_handle_mgr_alloc_id(g_table)) == 0) return 0;
        client = new CRdhttpClient(handle, server_ip, static_cast<uint16_t>(port), callback, user_data);
        *qrn_handle_mgr_get(g_table, handle) = client;
        client->AddRef();  // this call's own
    }
    // A kept detection is reported from within the start, and handled there; a failure then
    // makes this call fail instead of reporting from within it.
    const int started = qrn_http_detector_start(server_ip, static_cast<uint16_t>(port), &qrn_rdhttp_callback,
                                                static_cast<uintptr_t>(handle));
    if (void (*hook)(int) = g_connect_hook.load()) hook(handle);
    bool ok;
    bool reported = false;
    {
        CQrnFuncLock guard(client->Lock());
        ok = started >= 0 && !client->FailedInConnectCall();
        client->SetConnecting(false);
        if (!ok) {
            client->SetClosed();
            client->DropSocket();
            if (Remove(handle, client)) client->ReleaseRef();
        }
        reported = ok && client->HasReports();
    }
    if (reported) {
        client->AddRef();  // the hand-over's
        qrn_timer_set(&HandOverCallback, reinterpret_cast<uintptr_t>(client), kHandOverDelayMs);
    }
    client->ReleaseRef();
    return ok ? handle : 0;
}

int qrn_rdhttp_send(int handle, const void *buffer, int length) {
    int ret = kRefused;
    bool known = false;
    WithClient(handle, false, [&](CRdhttpClient *c) {
        known = !c->Closed();
        if (!known) return;
        if (c->Socket() == nullptr || buffer == nullptr || length < 0) QRN_TRACE_ERROR("tunnel not up");
        else ret = c->Socket()->Send(buffer, length);
    });
    if (!known) QRN_TRACE_ERROR("qrn_rdhttp_send, unknown handle", handle);
    return ret;
}

int qrn_rdhttp_recv(int handle, void *buffer, int length) {
    int ret = kRefused;
    bool known = false;
    WithClient(handle, false, [&](CRdhttpClient *c) {
        known = !c->Closed();
        if (!known) return;
        if (c->Socket() == nullptr || buffer == nullptr || length < 0) QRN_TRACE_ERROR("tunnel not up");
        else ret = c->Socket()->Receive(buffer, length);
        if (ret > 0) c->Taken(ret);
    });
    if (!known) QRN_TRACE_ERROR("qrn_rdhttp_recv, unknown handle", handle);
    return ret;
}

namespace {

// The client of handle with a reference, unless the layer above has closed it already (a
// lingering client stays in the table for its events only).
CRdhttpClient *FindOpen(int handle) {
    CRdhttpClient *client = Find(handle);
    if (client != nullptr && client->Closed()) {
        client->ReleaseRef();
        client = nullptr;
    }
    return client;
}

// The close of qrn_rdhttp_close and qrn_rdhttp_close_notify: the result of the latter.
int CloseTunnel(int handle, qrn_callback notice, uintptr_t notice_context) {
    CRdhttpClient *client = FindOpen(handle);
    if (client == nullptr) {
        QRN_TRACE_ERROR("qrn_rdhttp_close, unknown handle", handle);
        return kRefused;
    }
    int result;
    {
        CQrnFuncLock guard(client->Lock());
        client->SetClosed();
        const bool up = client->Up();
        if (client->StartLinger()) {
            client->SetNotice(notice, notice_context);
            result = notice != nullptr ? rdhttp::kCloseNoticeToCome : rdhttp::kCloseNoNotice;
        } else {
            client->DropSocket();
            if (Remove(handle, client)) client->ReleaseRef();
            result = up ? rdhttp::kCloseNoNotice : rdhttp::kCloseUndelivered;
        }
    }
    // No event follows a close: what was queued is dropped with the client.
    client->ReleaseRef();
    return result;
}

}  // namespace

int qrn_rdhttp_close(int handle) {
    QRN_TRACE_FUNC("qrn_rdhttp_close");
    return CloseTunnel(handle, nullptr, 0) == kRefused ? kRefused : 0;
}

int qrn_rdhttp_close_notify(int handle, qrn_callback notice, uintptr_t notice_context) {
    QRN_TRACE_FUNC("qrn_rdhttp_close_notify");
    return CloseTunnel(handle, notice, notice_context);
}

int qrn_rdhttp_option(int handle, int option, uintptr_t) {
    CRdhttpClient *client = FindOpen(handle);
    if (client == nullptr) {
        QRN_TRACE_ERROR("qrn_rdhttp_option, unknown handle", handle);
        return kRefused;
    }
    QRN_TRACE_ERROR("qrn_rdhttp_option, no such option", option);
    client->ReleaseRef();
    return 0;
}

int qrn_rdhttp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t) {
    qrn_trace_text("qrn_rdhttp_callback, (user_data, msg, handle, uParam1, uParam2)=", static_cast<uint32_t>(user_data),
                   msg, static_cast<uint32_t>(handle), static_cast<uint32_t>(p1), static_cast<uint32_t>(p2));
    const int tunnel = static_cast<int>(user_data);
    if (msg == rdhttp::kMsgClose || (msg == rdhttp::kMsgConnect && p1 != 0)) ForgetRequest(handle);
    bool timer_wanted = false;
    WithClient(tunnel, true, [&](CRdhttpClient *c) {
        if (msg == http::kMsgDetectFinished) {
            c->OnDetected(static_cast<uint32_t>(p1), static_cast<uint32_t>(p2));
            return;
        }
        IHttpClientSocket *s = c->Socket();
        if (s == nullptr) return;
        switch (msg) {
        case rdhttp::kMsgConnect: s->OnConfirm(handle, static_cast<uint32_t>(p1) & 0xFFFF); break;
        case rdhttp::kMsgRead: s->OnRead(handle, static_cast<uint32_t>(p1)); break;
        case rdhttp::kMsgWrite: s->OnWrite(handle); break;
        case rdhttp::kMsgClose: s->OnClose(handle, static_cast<uint32_t>(p1) & 0xFFFF); break;
        case rdhttp::kMsgStatus: s->OnStatus(handle, static_cast<uint32_t>(p1), static_cast<uint32_t>(p2)); break;
        case QRN_MSG_TIMER:
            timer_wanted = s->WantsTimer();
            if (timer_wanted) s->OnTimer();
            break;
        default: break;
        }
    });
    // A poll timer whose session has gone ends itself; from its own tick the kill never waits.
    if (msg == QRN_MSG_TIMER && !timer_wanted) qrn_timer_kill(&qrn_rdhttp_callback, user_data);
    return 0;
}
