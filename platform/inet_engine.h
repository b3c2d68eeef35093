// The internet layer's handles and its one thread over libcurl's multi interface.
//
// Locking: one engine mutex guards the command list, the notice list and every request's
// transfer state. libcurl is called only on the engine thread, never under the mutex (its
// callbacks take the mutex themselves). Status callbacks run on the engine thread with the
// mutex released, so a callback may call any function of the layer.
#ifndef QRN_PLATFORM_INET_ENGINE_H
#define QRN_PLATFORM_INET_ENGINE_H

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/inet_chunk.h"
#include "platform/inet_header.h"
#include "platform/wininet.h"

namespace ws {

enum class InetKind { kSession, kConnection, kRequest };

// The call of a request that waits for its request-complete notice.
enum class InetPending { kNone, kHead, kWrite, kEnd, kRead };

struct InetRequest {
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    std::string url;
    std::string added_headers;
    bool post = false;
    bool chunked = false;  // the caller frames the body in chunks
    int64_t body_length = -1;  // -1: not known, libcurl frames the body in chunks
    CChunkDecoder dechunk;
    char error_text[CURL_ERROR_SIZE] = {};

    // Guarded by the engine mutex from here on.
    bool started = false;
    bool in_multi = false;
    InetPending pending = InetPending::kNone;
    uint32_t *pending_written = nullptr;  // where a pending write's count goes
    uint32_t pending_write_len = 0;
    bool head_sent = false;        // libcurl asked for the first body byte
    bool upload_finished = false;  // the caller ended the body
    std::vector<char> upload;
    size_t upload_off = 0;
    // Until the body passes kRewindLimit it is kept whole from its first byte, so that libcurl
    // may send it again on a fresh connection when a reused one turns out to have been closed.
    bool rewindable = true;
    bool read_paused = false;   // the read callback paused for want of body bytes
    bool write_paused = false;  // the write callback paused for want of room
    bool resume_queued = false;  // a resume command is on its way to the engine thread
    bool read_listed = false;    // a pending read waits for the end of this transfer pass
    bool head_ready = false;
    uint32_t status = 0;
    InetHeadFields head;
    std::vector<char> download;
    size_t download_off = 0;
    bool done = false;
    CURLcode result = CURLE_OK;

    size_t UploadBuffered() const { return upload.size() - upload_off; }
    size_t DownloadBuffered() const { return download.size() - download_off; }
};

struct InetHandle {
    InetKind kind = InetKind::kSession;
    uintptr_t context = 0;
    bool has_context = false;
    INTERNET_STATUS_CALLBACK callback = nullptr;  // read only on the engine thread once set
    std::string agent;
    std::string host;
    uint16_t port = 0;
    uint32_t flags = 0;
    std::string proxy_user;
    std::string proxy_pass;
    bool closed = false;  // guarded by the engine mutex
    int dialogs = 0;        // credential requests under way; the handle outlives them
    bool finished = false;  // closed by the engine while a credential request ran
    std::unique_ptr<InetRequest> request;
};

class CInetEngine {
public:
    static CInetEngine &Instance();
    // Ends the engine's thread (at process exit); later calls queue work that nobody runs.
    void Stop();

    std::mutex &Mutex() { return m_mutex; }
    // Under the mutex: queues a notice for the handle; the engine thread delivers it. True when
    // a notice was queued.
    bool QueueNotice(InetHandle *h, uint32_t status);
    // On the engine thread, with no lock held: delivers the queued notices now. libcurl's
    // callbacks call it too, so that the reader hears of a piece while libcurl goes on
    // receiving the next one, rather than once the whole transfer pass has ended.
    void Flush();
    // Under the mutex, on the engine thread: a read that waits for more than the batch below
    // completes at the end of this transfer pass with what has come by then.
    void ListShortRead(InetHandle *h);
    // Under the mutex: asks the engine thread to add, resume or close.
    void QueueStart(InetHandle *h);
    void QueueResume(InetHandle *h);
    void QueueClose(InetHandle *h);

    // Limits of the bytes a request holds for libcurl and for its reader.
    static constexpr size_t kUploadLimit = 256 * 1024;
    static constexpr size_t kRewindLimit = 64 * 1024;
    static constexpr size_t kDownloadLimit = 1024 * 1024;
    // A pending read completes once this much has arrived, or at the end of the transfer pass
    // that brought less: one wake-up of the reader for many small pieces of a fast response,
    // no delay for a short one.
    static constexpr size_t kReadBatch = 64 * 1024;

private:
    enum class CommandKind { kStart, kResume, kClose };
    struct Command {
        CommandKind kind;
        InetHandle *handle;
    };
    struct Notice {
        InetHandle *handle;
        uintptr_t context;
        INTERNET_STATUS_CALLBACK callback;
        uint32_t status;
    };

    CInetEngine();
    void Run();
    void Apply(const Command &c);
    void Start(InetHandle *h);
    void Finish(InetHandle *h);
    void CollectDone();
    void OnDone(InetHandle *h, CURLcode result);
    void CompleteShortReads();
    void Wake();

    std::mutex m_mutex;
    std::vector<Command> m_commands;
    std::vector<Notice> m_notices;
    std::vector<InetHandle *> m_short_reads;
    bool m_stop = false;
    CURLM *m_multi = nullptr;
    std::thread m_thread;
};

// Under the engine mutex: completes the request's pending call of that kind with a notice;
// true when it did.
bool InetComplete(InetHandle *h, InetPending kind);

// The proxy that the environment names for a request, as libcurl chooses it (no_proxy aside):
// host and port, or an empty host.
void EnvironmentProxy(bool secure, std::string &host, long &port);

}  // namespace ws

#endif
