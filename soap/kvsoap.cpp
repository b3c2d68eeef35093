// CKVSoap: the SOAP client object over the HTTP client's exports.
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "qrn/kvsoap.h"
#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_trace.h"
#include "soap/soap_text.h"

namespace {

constexpr int kStateIdle = 0;
constexpr int kStateCalling = 1;
constexpr int kStateAnswered = 2;

constexpr int kMsgConnect = 2;
constexpr int kMsgReceive = 3;
constexpr int kMsgSend = 4;
constexpr int kMsgClose = 5;
constexpr int kOptLength = 2;

// An answer is read whole into memory: anything larger is refused rather than buffered.
constexpr uint32_t kMaxAnswer = 16 * 1024 * 1024;
constexpr int kReadPiece = 16384;
constexpr int kNumberText = 16;

class CKVSoap : public IKVSoap {
public:
    explicit CKVSoap(ISoapSink *sink) : m_sink(sink) {}
    virtual ~CKVSoap() { Close(); }

    int SetAction(const char *action) override;
    int SetProperty(const char *name, uint32_t value) override;
    int SetProperty(const char *name, int32_t value) override;
    int SetProperty(const char *name, const char *value) override;
    int Start(const char *server_ip, uint16_t server_port, const char *url, const char *urn) override;
    int Close() override;
    int GetProperty(const char *name, uint32_t *out) override;
    int GetProperty(const char *name, int32_t *out) override;
    int GetProperty(const char *name, char *buffer, int32_t *length) override;
    int GetResponseContent(char *buffer, uint32_t *length) override;
    void Destroy() override;

    void OnCallback(int msg, uintptr_t handle, uintptr_t p1);

private:
    int State() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_state;
    }
    void SendRest(uintptr_t handle);
    void OnReadable(uintptr_t handle);
    void Finish(uintptr_t handle, bool close_it);
    void Fail(const char *why);
    int AnalyzeResponse();

    ISoapSink *m_sink;
    // Guards the call's fields below against the HTTP layer's threads; never held while
    // closing the HTTP request (which waits for its callbacks) or calling the sink.
    std::mutex m_mutex;
    uintptr_t m_http_handle = 0;
    int m_state = kStateIdle;
    std::string m_msg_buf;      // the answer, then its body's content
    std::string m_scratch_buf;  // the last Encode or Decode
    std::string m_request;
    size_t m_sent = 0;
    uint32_t m_content_len = 0;
    bool m_len_known = false;
    uint32_t m_recv_len = 0;
    std::string m_action;
    std::vector<std::pair<std::string, std::string>> m_props;
};

int my_soap_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
    reinterpret_cast<CKVSoap *>(user_data)->OnCallback(msg, handle, p1);
    return 0;
}

int CKVSoap::SetAction(const char *action) {
    if (State() != kStateIdle) return KV_SOAP_ERR_STATE;
    m_action = action ? action : "";
    return KV_SOAP_OK;
}

int CKVSoap::SetProperty(const char *name, const char *value) {
    if (State() != kStateIdle) return KV_SOAP_ERR_STATE;
    if (!name || !*name) return KV_SOAP_ERR_LENGTH;
    m_scratch_buf = soap::Encode(value);
    std::string line;
    if (!soap::AppendProperty(line, name, m_scratch_buf.c_str())) return KV_SOAP_ERR_LENGTH;
    for (auto &p : m_props) {
        if (p.first == name) {
            p.second = m_scratch_buf;
            return KV_SOAP_OK;
        }
    }
    m_props.emplace_back(name, m_scratch_buf);
    return KV_SOAP_OK;
}

int CKVSoap::SetProperty(const char *name, int32_t value) {
    char text[kNumberText];
    snprintf(text, sizeof(text), "%d", static_cast<int>(value));
    return SetProperty(name, static_cast<const char *>(text));
}

int CKVSoap::SetProperty(const char *name, uint32_t value) {
    char text[kNumberText];
    snprintf(text, sizeof(text), "%lu", static_cast<unsigned long>(value));
    return SetProperty(name, static_cast<const char *>(text));
}

int CKVSoap::Start(const char *server_ip, uint16_t server_port, const char *url, const char *urn) {
    qrn_trace_text("CKVSoap::Start, (server_ip, server_port, url, urn, action)=", server_ip ? server_ip : "",
                   server_port, url ? url : "", urn ? urn : "", m_action.c_str());
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_state != kStateIdle) {
            qrn_trace_text("CKVSoap::Start, invalid state", m_state);
            return KV_SOAP_ERR_STATE;
        }
        std::string request;
        if (!soap::AppendHead(request, m_action.c_str(), urn ? urn : "")) return KV_SOAP_ERR_LENGTH;
        for (const auto &p : m_props) soap::AppendProperty(request, p.first.c_str(), p.second.c_str());
        if (!soap::AppendTail(request, m_action.c_str())) return KV_SOAP_ERR_LENGTH;
        m_request.swap(request);
        // Calling before the handle is known: the first message may come before the connect
        // call returns.
        m_state = kStateCalling;
    }
    uintptr_t handle = qrn_tp_http_connect(my_soap_callback, reinterpret_cast<uintptr_t>(this), server_ip,
                                           server_port, 0, url, static_cast<unsigned>(m_request.size()));
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!handle) {
        qrn_trace_text("CKVSoap::Start, http connect failed");
        m_state = kStateIdle;
        return KV_SOAP_ERR_HTTP;
    }
    if (m_state == kStateCalling) m_http_handle = handle;
    return KV_SOAP_OK;
}

int CKVSoap::Close() {
    uintptr_t handle;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        handle = m_http_handle;
        m_http_handle = 0;
        m_state = kStateIdle;
    }
    if (handle) qrn_tp_http_close(handle);
    return KV_SOAP_OK;
}

void CKVSoap::Destroy() {
    qrn_trace_text("CKVSoap::Destroy");
    delete this;
}

void CKVSoap::OnCallback(int msg, uintptr_t handle, uintptr_t p1) {
    qrn_trace_text("CKVSoap::OnCallback, (msg, uParam1)=", msg, p1);
    if (State() != kStateCalling) return;
    if (msg == kMsgConnect && p1 == 0) {
        {
            // Also at a repeated request after proxy credentials: the whole body again.
            std::lock_guard<std::mutex> guard(m_mutex);
            m_sent = 0;
            m_content_len = 0;
            m_len_known = false;
            m_recv_len = 0;
            m_msg_buf.clear();
        }
        SendRest(handle);
    } else if (msg == kMsgConnect) {
        qrn_trace_text("CKVSoap::OnCallback, connect failed");
        Fail(nullptr);
    } else if (msg == kMsgSend) {
        SendRest(handle);
    } else if (msg == kMsgReceive) {
        OnReadable(handle);
    } else if (msg == kMsgClose) {
        bool ended_whole = false;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            ended_whole = p1 == 0 && m_len_known && m_content_len == 0;
        }
        // An answer without a length ends with its connection.
        if (ended_whole) Finish(handle, false);
        else Fail("CKVSoap::OnCallback, connection closed");
    }
}

void CKVSoap::SendRest(uintptr_t handle) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_sent >= m_request.size()) return;
    int n = qrn_tp_http_send(handle, m_request.data() + m_sent, static_cast<int>(m_request.size() - m_sent));
    if (n > 0) m_sent += static_cast<size_t>(n);
}

void CKVSoap::OnReadable(uintptr_t handle) {
    bool too_long = false;
    bool complete = false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_len_known) {
            qrn_tp_http_option(handle, kOptLength, reinterpret_cast<uintptr_t>(&m_content_len));
            m_len_known = true;
            too_long = m_content_len > kMaxAnswer;
            if (!too_long) m_msg_buf.reserve(m_content_len + 1);
        }
        uint32_t limit = m_content_len ? m_content_len : kMaxAnswer;
        char piece[kReadPiece];
        while (!too_long && m_recv_len < limit) {
            uint32_t want = limit - m_recv_len < sizeof(piece) ? limit - m_recv_len : sizeof(piece);
            int n = qrn_tp_http_recv(handle, piece, static_cast<int>(want));
            if (n <= 0) break;
            m_msg_buf.append(piece, static_cast<size_t>(n));
            m_recv_len += static_cast<uint32_t>(n);
        }
        if (!too_long && m_content_len == 0 && m_recv_len >= kMaxAnswer) too_long = true;
        complete = m_content_len != 0 && m_recv_len == m_content_len;
    }
    if (too_long) {
        qrn_tp_http_close(handle);
        Fail("CKVSoap::OnCallback, answer too long");
    } else if (complete) {
        Finish(handle, true);
    }
}

void CKVSoap::Finish(uintptr_t handle, bool close_it) {
    qrn_trace_text("CKVSoap::OnCallback, total length read, ", m_recv_len);
    if (close_it) qrn_tp_http_close(handle);
    int r;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_http_handle = 0;
        r = AnalyzeResponse();
        m_state = r == KV_SOAP_OK ? kStateAnswered : kStateIdle;
    }
    qrn_trace_text("CKVSoap::OnCallback, analyzed, ret=", r);
    m_sink->OnSoapResult(r);
}

void CKVSoap::Fail(const char *why) {
    if (why) qrn_trace_text(why);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_http_handle = 0;
        m_state = kStateIdle;
    }
    m_sink->OnSoapResult(KV_SOAP_ERR_HTTP);
}

int CKVSoap::AnalyzeResponse() { return soap::CutBody(m_msg_buf); }

int CKVSoap::GetProperty(const char *name, char *buffer, int32_t *length) {
    if (!length || *length < 1 || !buffer) {
        qrn_trace_text("CKVSoap::GetProperty, bad len");
        return KV_SOAP_ERR_LENGTH;
    }
    std::string raw;
    int r;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        r = m_state == kStateAnswered ? soap::FindProperty(m_msg_buf, name, raw) : KV_SOAP_ERR_NOT_FOUND;
    }
    if (r == KV_SOAP_ERR_NOT_FOUND) qrn_trace_text("CKVSoap::GetProperty, prop not found, prop=", name ? name : "");
    if (r == KV_SOAP_ERR_CONTENT) qrn_trace_text("CKVSoap::GetProperty, bad content, prop=", name);
    if (r != KV_SOAP_OK) return r;
    m_scratch_buf = soap::Decode(raw.data(), raw.size());
    size_t len = strlen(m_scratch_buf.c_str());
    if (len + 1 < static_cast<size_t>(*length)) *length = static_cast<int32_t>(len + 1);
    memcpy(buffer, m_scratch_buf.data(), static_cast<size_t>(*length - 1));
    buffer[*length - 1] = 0;
    return KV_SOAP_OK;
}

int CKVSoap::GetProperty(const char *name, int32_t *out) {
    char text[soap::kNumberSize];
    int32_t length = soap::kNumberSize;
    int r = GetProperty(name, text, &length);
    if (r == KV_SOAP_OK && out) *out = static_cast<int32_t>(soap::LeadingNumber(text));
    return r;
}

int CKVSoap::GetProperty(const char *name, uint32_t *out) {
    char text[soap::kNumberSize];
    int32_t length = soap::kNumberSize;
    int r = GetProperty(name, text, &length);
    if (r == KV_SOAP_OK && out) *out = static_cast<uint32_t>(soap::LeadingNumber(text));
    return r;
}

int CKVSoap::GetResponseContent(char *buffer, uint32_t *length) {
    if (!length || (!buffer && *length)) return KV_SOAP_OK;
    std::lock_guard<std::mutex> guard(m_mutex);
    size_t held = strlen(m_msg_buf.c_str());
    if (held < *length) {
        *length = static_cast<uint32_t>(held);
        buffer[*length] = 0;
    }
    if (*length > 0) memcpy(buffer, m_msg_buf.data(), *length);
    return KV_SOAP_OK;
}

}  // namespace

extern "C" QRN_API IKVSoap *KVCreateSoapInstance(ISoapSink *sink) {
    return new (std::nothrow) CKVSoap(sink);
}
