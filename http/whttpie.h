// CWCSHttpIE: one asynchronous HTTP request at a time on the internet layer, reported to an
// IQrnClientSocketSink; CWcsThread works the notices the internet layer posts.
//
// Threads: the owner's (Bind ... Destroy), the internet layer's (status notices, which only
// queue), the internet thread CWcsThread (DoCallback, freeing request contexts) and the owner's
// poll thread (Crack). The module lock guards every object's request state and is never held
// during a sink call. Destroy and the destructor return only once no sink call of the object
// runs on another thread, so that the sink may be deleted after Destroy; a sink may itself call
// back into the object (Receive, Send, Close, Destroy) from inside a sink call.
#ifndef QRN_HTTP_WHTTPIE_H
#define QRN_HTTP_WHTTPIE_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "platform/wininet.h"
#include "http/http_defs.h"
#include "qrnlibl/qrn_cirwin.h"

class IQrnClientSocketSink {
public:
    virtual int OnConnect(int code) = 0;
    virtual int OnReceive(int code) = 0;
    virtual int OnSend(int code) = 0;
    virtual int OnClose(int code) = 0;
    virtual int OnStatus(int status, int value) = 0;

protected:
    ~IQrnClientSocketSink() = default;
};

class IQrnClientSocket {
public:
    virtual int AddRef() = 0;
    virtual int Release() = 0;
    virtual int Bind(const char *host, uint16_t port, uint32_t flags) = 0;
    virtual int Connect(const char *path, uint16_t port, uint32_t flags) = 0;
    virtual int Send(const void *data, int length) = 0;
    virtual int Receive(void *buffer, int length) = 0;
    virtual int IOCtl(int code, uintptr_t argument) = 0;
    virtual int Close() = 0;
    virtual int Destroy() = 0;
    virtual int Crack() = 0;

protected:
    ~IQrnClientSocket() = default;
};

// The request context: handed to the internet layer as the handles' context value, so that it
// may outlive its owner until the last handle-closing notice.
struct WcsRequestContext {
    class CWCSHttpIE *owner;
    ws::HINTERNET session;
    ws::HINTERNET connection;
    ws::HINTERNET request;
    ws::INTERNET_BUFFERSA buffers;
    uint32_t bytes_read;
    uint32_t length_expected;
    char read_buffer[4096];
    int closing_notices;
    int handles_open;  // handles that carry the context: that many closing notices come
};

class CWCSHttpIE : public IQrnClientSocket {
public:
    explicit CWCSHttpIE(IQrnClientSocketSink *sink);
    virtual ~CWCSHttpIE();

    int AddRef() override;
    int Release() override;
    int Bind(const char *host, uint16_t port, uint32_t flags) override;
    int Connect(const char *path, uint16_t port, uint32_t flags) override;
    int Send(const void *data, int length) override;
    int Receive(void *buffer, int length) override;
    // Codes 21 and 22 copy into a buffer of at least 256 bytes; 16 and 17 keep 255 bytes.
    int IOCtl(int code, uintptr_t argument) override;
    int Close() override;
    int Destroy() override;
    int Crack() override;

    // A reference unless the object is already on its way out (internet thread).
    bool TryAddRef();
    // A notice of the object's current request (internet thread).
    void DoCallback(uint32_t status);
    int Id() const { return m_id; }

private:
    enum class SinkCall { kConnect, kReceive, kSend, kClose, kStatus };

    bool IsConnected() const;
    bool IsPost() const { return (m_req_flags & 0x2) != 0; }
    int StartRequest(const char *path, uint16_t port, uint32_t flags);
    void SetCredentials(ws::HINTERNET handle);
    bool BodyComplete() const;
    void Cleanup();
    bool EndRequest();
    // Calls the sink without the module lock (which must be held exactly once on entry and is
    // held again on return). False when there is no sink.
    bool CallSink(SinkCall call, int code, int value = 0);
    void ReportEnd(bool connected, int code_connected, int code_before);
    void OnResponseHead();
    void AskCredentials(bool connected);
    void ReadLoop();
    // Moves what the internet layer holds into the window; false when the request ended in
    // failure (cleaned up and reported).
    bool ReadAvailable();
    int ConnectFailed(int step, int result);

    IQrnClientSocketSink *m_sink;
    int m_state = 0;
    uint32_t m_flags = 0;
    char *m_send_buf = nullptr;
    int m_send_cap = 0;
    char m_host[100] = {};
    uint16_t m_port = 0;
    uint16_t m_req_port = 0;
    uint32_t m_bind_flags = 0;
    uint32_t m_req_flags = 0;
    uint32_t m_content_length = 0;
    uint32_t m_resp_length = 0;
    uint32_t m_total_sent = 0;
    std::string m_path;
    CQrnCirwin m_window{http::kWindowLimit};
    WcsRequestContext *m_req = nullptr;
    uint32_t m_start_tick = 0;
    uint32_t m_timeout = 0;
    int m_have_cred = 0;
    char m_proxy_user[256] = {};
    char m_proxy_pass[256] = {};
    int m_dlg_open = 0;
    uint32_t m_written = 0;
    uint32_t m_to_write = 0;
    std::atomic<int> m_refs{0};
    int m_id;
    // Beyond the request state: the body length kept for a repeated request, whether this
    // request is already the repeat after credentials, the sink calls under way and whether
    // reading waits for room in the window.
    uint32_t m_repeat_length = 0;
    bool m_repeated = false;
    bool m_last_chunk = false;
    int m_sink_calls = 0;
    bool m_read_owed = false;    // reading stopped at a full window; Receive restarts it
    bool m_room_posted = false;  // Receive queued the notice that restarts it
};

// Starts the notice queue and the internet thread once; 1.
int WCSHttpIEStartup();
// Destroys the queue; the internet thread stays.
int WCSHttpIEShutdown();
// The request object for a sink (startup first); null when that fails.
IQrnClientSocket *WCSCreateHttpIE(IQrnClientSocketSink *sink);

#endif
