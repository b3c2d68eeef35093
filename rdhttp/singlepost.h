// The single-post form: one short POST per exchange, its body the uplink, its reply the
// downlink; one request at a time, polling ever more seldom while idle, up to every 2 seconds.
#ifndef QRN_RDHTTP_SINGLEPOST_H
#define QRN_RDHTTP_SINGLEPOST_H

#include "rdhttp/rdhttp_defs.h"
#include "rdhttp/rdhttp_socket.h"

class CHttpClientSinglePost : public IHttpClientSocket {
public:
    explicit CHttpClientSinglePost(IHttpClientSocketSink *sink);
    ~CHttpClientSinglePost() override;

    int Connect() override;
    int Send(const void *buffer, int length) override;
    int Receive(void *buffer, int length) override;
    void Close() override;
    bool Linger() override;
    void OnConfirm(uintptr_t handle, uint32_t result) override;
    void OnRead(uintptr_t handle, uint32_t length) override;
    void OnWrite(uintptr_t handle) override;
    void OnClose(uintptr_t handle, uint32_t code) override;
    void OnStatus(uintptr_t handle, uint32_t type, uint32_t value) override;
    void OnTimer() override;
    bool WantsTimer() const override { return m_state != kClosed; }

private:
    enum EState : uint8_t {
        kClosed = 0,
        kOpenSent = 1,
        kAwaitingId = 2,
        kEstablished = 5,
    };
    bool Mine(uintptr_t handle) const { return handle != 0 && handle == m_handle; }
    void TryConnect();
    void ReadOpenReply(uint32_t length);
    void ReadExchangeReply(uint32_t length);
    void EndExchange();
    void Fail(uint32_t code);

    IHttpClientSocketSink *m_sink;
    uintptr_t m_handle = 0;
    uint8_t m_state = kClosed;
    bool m_busy = false;
    uint8_t m_send_buf[rdhttp::kMaxExchangeBody] = {};
    uint16_t m_send_len = 0;
    // Body bytes of the request in flight already taken by the HTTP request.
    uint16_t m_sent = 0;
    uint32_t m_session_id = 0;
    // The reply in flight is gathered from the front; the next exchange starts only once the
    // layer above has taken all of the last reply, so a reply never meets older data here.
    uint8_t m_recv_buf[rdhttp::kMaxExchangeReply] = {};
    uint32_t m_reply_len = 0;
    uint32_t m_recv_len = 0;
    uint32_t m_recv_pos = 0;
    bool m_pending = false;  // an exchange is due once the buffer is empty
    uint32_t m_last_tick = 0;
    uint32_t m_poll_wait = rdhttp::kPollFirstMs;  // after m_last_tick, while idle
    bool m_lingering = false;
};

#endif
