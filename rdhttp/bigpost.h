// The large-post form: one long GET whose reply is the downlink, one long POST whose body is
// the uplink.
#ifndef QRN_RDHTTP_BIGPOST_H
#define QRN_RDHTTP_BIGPOST_H

#include "rdhttp/rdhttp_defs.h"
#include "rdhttp/rdhttp_socket.h"

class CHttpClientBigPost : public IHttpClientSocket {
public:
    explicit CHttpClientBigPost(IHttpClientSocketSink *sink);
    ~CHttpClientBigPost() override;

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
    void OnTimer() override {}

private:
    enum EState : uint8_t {
        kClosed = 0,
        kGetRequested = 1,
        kReadingHeader = 2,
        kAwaitingOk = 3,
        // "OK" came before the POST could take its first byte: a tunnel reported up now would
        // be sent to while its uplink still refuses.
        kAwaitingUplink = 4,
        kEstablished = 5,
    };
    bool Mine(uintptr_t handle) const { return handle != 0 && (handle == m_get_handle || handle == m_post_handle); }
    // Reads what the header still lacks out of *available announced bytes.
    bool ReadHeader(uint32_t *available);
    bool ReadOk(uint32_t *available);
    bool OpenPost();
    void Establish();
    void Fail(uint32_t code);

    IHttpClientSocketSink *m_sink;
    uintptr_t m_get_handle = 0;
    uintptr_t m_post_handle = 0;
    uint8_t m_state = kClosed;
    uint8_t m_header[rdhttp::kBigPostHeaderSize] = {};
    uint16_t m_header_len = 0;
    uint32_t m_session_id = 0;
    bool m_lingering = false;
    bool m_uplink_ready = false;  // the POST has confirmed: it takes bytes
    uint32_t m_held_back = 0;     // downlink bytes waiting when the tunnel was not up yet
};

#endif
