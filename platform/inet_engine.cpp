// The internet layer's thread: libcurl's multi interface, driven by commands from the
// callers' threads, reporting through status notices.
#include "platform/inet_engine.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

namespace ws {

namespace {

constexpr int kPollMs = 1000;
constexpr long kBufferSize = 256 * 1024;

std::once_flag g_global_init;
// The engine thread looks at its commands and notices after every transfer pass anyway: it
// need not wake itself.
thread_local bool t_engine_thread = false;

// Drops what the reader has taken once it is at least half the buffer, so that a long body
// is neither copied at every read nor kept whole.
void Compact(std::vector<char> &buf, size_t &off) {
    if (off == buf.size()) {
        buf.clear();
        off = 0;
    } else if (off > buf.size() / 2) {
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(off));
        off = 0;
    }
}

// Under the engine mutex: one line of the response head; true when a notice was queued.
bool OnHeaderLine(InetHandle *h, const char *data, size_t len, bool end_of_block, long code) {
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    bool queued = false;
    if (!end_of_block) {
        inet_header_read(data, len, &r->head);
    } else {
        if (code < 200) {  // an interim answer: its fields are not the response's
            r->head = InetHeadFields();
        } else if (!r->head_ready) {
            r->head_ready = true;
            r->status = static_cast<uint32_t>(code);
            queued |= InetComplete(h, InetPending::kHead);
            queued |= InetComplete(h, InetPending::kEnd);
        }
    }
    return queued;
}

size_t OnHeader(char *data, size_t size, size_t count, void *user) {
    InetHandle *h = static_cast<InetHandle *>(user);
    InetRequest *r = h->request.get();
    size_t len = size * count;
    bool end_of_block = inet_header_ends_block(data, len);
    long code = 0;
    if (end_of_block) curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
    if (OnHeaderLine(h, data, len, end_of_block, code)) CInetEngine::Instance().Flush();
    return len;
}

size_t OnBody(char *data, size_t size, size_t count, void *user) {
    InetHandle *h = static_cast<InetHandle *>(user);
    InetRequest *r = h->request.get();
    size_t len = size * count;
    CInetEngine &engine = CInetEngine::Instance();
    bool notify = false;
    {
        std::lock_guard<std::mutex> guard(engine.Mutex());
        if (r->DownloadBuffered() >= CInetEngine::kDownloadLimit) {
            r->write_paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (r->download_off == r->download.size()) {
            r->download.clear();
            r->download_off = 0;
        }
        r->download.insert(r->download.end(), data, data + len);
        if (r->pending == InetPending::kRead) {
            if (r->DownloadBuffered() >= CInetEngine::kReadBatch) notify = InetComplete(h, InetPending::kRead);
            else engine.ListShortRead(h);
        }
    }
    if (notify) engine.Flush();
    return len;
}

size_t OnUpload(char *buffer, size_t size, size_t count, void *user) {
    InetHandle *h = static_cast<InetHandle *>(user);
    InetRequest *r = h->request.get();
    size_t room = size * count;
    size_t result = 0;
    bool notify = false;
    {
        std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
        if (!r->head_sent) {
            r->head_sent = true;
            notify = InetComplete(h, InetPending::kHead);
        }
        size_t n = std::min(room, r->UploadBuffered());
        if (n > 0) {
            memcpy(buffer, r->upload.data() + r->upload_off, n);
            r->upload_off += n;
            if (r->upload_off > CInetEngine::kRewindLimit) r->rewindable = false;
            if (!r->rewindable) Compact(r->upload, r->upload_off);
            // Half the limit, so that the writer can hand over many pieces before it waits again.
            if (r->UploadBuffered() < CInetEngine::kUploadLimit / 2) notify |= InetComplete(h, InetPending::kWrite);
            result = n;
        } else if (!r->upload_finished) {
            r->read_paused = true;
            result = CURL_READFUNC_PAUSE;
        }
    }
    if (notify) CInetEngine::Instance().Flush();
    return result;
}

// libcurl asks to start the body again when it retries a request whose reused connection the
// server (or a proxy) had closed meanwhile.
int OnUploadSeek(void *user, curl_off_t offset, int origin) {
    InetHandle *h = static_cast<InetHandle *>(user);
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (origin != SEEK_SET || offset != 0 || !r->rewindable) return CURL_SEEKFUNC_CANTSEEK;
    r->upload_off = 0;
    return CURL_SEEKFUNC_OK;
}

void SetCaStore(CURL *easy) {
    // The system store is libcurl's default; these name another, as for the curl tool.
    for (const char *name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        const char *file = getenv(name);
        if (file && *file) {
            curl_easy_setopt(easy, CURLOPT_CAINFO, file);
            return;
        }
    }
}

curl_slist *BuildHeaders(const InetHandle *h) {
    const InetRequest *r = h->request.get();
    curl_slist *list = nullptr;
    size_t pos = 0;
    const std::string &text = r->added_headers;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) list = curl_slist_append(list, text.substr(pos, end - pos).c_str());
        pos = end + 2;
    }
    list = curl_slist_append(list, "Expect:");  // no 100-continue round trip before a body
    if (h->flags & INTERNET_FLAG_PRAGMA_NOCACHE) list = curl_slist_append(list, "Pragma: no-cache");
    return list;
}

}  // namespace

bool InetComplete(InetHandle *h, InetPending kind) {
    InetRequest *r = h->request.get();
    if (r->pending != kind || h->closed) return false;
    r->pending = InetPending::kNone;
    if (kind == InetPending::kWrite && r->pending_written) *r->pending_written = r->pending_write_len;
    r->pending_written = nullptr;
    return CInetEngine::Instance().QueueNotice(h, INTERNET_STATUS_REQUEST_COMPLETE);
}

namespace {

// Stops the engine's thread when the process's statics are torn down; the engine stays.
struct CEngineStopper {
    CInetEngine *engine;
    ~CEngineStopper() { engine->Stop(); }
};

}  // namespace

CInetEngine &CInetEngine::Instance() {
    // Never destroyed: another layer's thread (the timer's, closing a tunnel's requests) may
    // still call in while the statics go. Such a late call queues work that nobody runs any
    // more, which at exit is harmless; a destroyed engine would be used after its end.
    static CInetEngine *const engine = new CInetEngine;
    static CEngineStopper stopper{engine};
    return *engine;
}

CInetEngine::CInetEngine() {
    std::call_once(g_global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_multi = curl_multi_init();
    m_thread = std::thread([this] { Run(); });
}

void CInetEngine::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
}

void CInetEngine::Wake() {
    if (m_multi && !t_engine_thread) curl_multi_wakeup(m_multi);
}

bool CInetEngine::QueueNotice(InetHandle *h, uint32_t status) {
    if (!h->has_context || !h->callback) return false;
    if (h->closed && status != INTERNET_STATUS_HANDLE_CLOSING) return false;
    m_notices.push_back({h, h->context, h->callback, status});
    Wake();
    return true;
}

void CInetEngine::ListShortRead(InetHandle *h) {
    InetRequest *r = h->request.get();
    if (r->read_listed) return;
    r->read_listed = true;
    m_short_reads.push_back(h);
}

void CInetEngine::CompleteShortReads() {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (InetHandle *h : m_short_reads) {
        h->request->read_listed = false;
        if (h->request->DownloadBuffered() > 0) InetComplete(h, InetPending::kRead);
    }
    m_short_reads.clear();
}

void CInetEngine::QueueStart(InetHandle *h) {
    m_commands.push_back({CommandKind::kStart, h});
    Wake();
}

void CInetEngine::QueueResume(InetHandle *h) {
    if (h->request->resume_queued) return;
    h->request->resume_queued = true;
    m_commands.push_back({CommandKind::kResume, h});
    Wake();
}

void CInetEngine::QueueClose(InetHandle *h) {
    h->closed = true;
    m_commands.push_back({CommandKind::kClose, h});
    Wake();
}

void CInetEngine::Run() {
    t_engine_thread = true;
    for (;;) {
        std::vector<Command> commands;
        bool stop;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            stop = m_stop;
            commands.swap(m_commands);
        }
        if (stop) {
            // At unload: handles closed by now still end with their closing notices, so that
            // their owners can free what they handed over as context.
            for (const Command &c : commands) {
                if (c.kind == CommandKind::kClose) Apply(c);
            }
            Flush();
            break;
        }
        for (const Command &c : commands) Apply(c);
        int running = 0;
        curl_multi_perform(m_multi, &running);
        CompleteShortReads();
        CollectDone();
        Flush();
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (!m_commands.empty() || !m_notices.empty()) continue;
        }
        curl_multi_poll(m_multi, nullptr, 0, kPollMs, nullptr);
    }
}

void CInetEngine::Apply(const Command &c) {
    InetHandle *h = c.handle;
    switch (c.kind) {
    case CommandKind::kStart:
        Start(h);
        break;
    case CommandKind::kResume: {
        bool resume = false;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            InetRequest *r = h->request.get();
            r->resume_queued = false;
            if (r->in_multi && !r->done && !h->closed && (r->read_paused || r->write_paused)) {
                r->read_paused = r->write_paused = false;
                resume = true;
            }
        }
        // Unpausing may call the body callbacks at once; they take the mutex themselves.
        if (resume) curl_easy_pause(h->request->easy, CURLPAUSE_CONT);
        break;
    }
    case CommandKind::kClose:
        Finish(h);
        break;
    }
}

void CInetEngine::Start(InetHandle *h) {
    InetRequest *r = h->request.get();
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (h->closed) return;  // its close command follows and frees it
    }
    CURL *e = curl_easy_init();
    r->easy = e;
    r->headers = BuildHeaders(h);
    curl_easy_setopt(e, CURLOPT_URL, r->url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, h);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_USERAGENT, h->agent.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->error_text);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, h);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, h);
    if (r->post) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r->body_length));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, OnUpload);
        curl_easy_setopt(e, CURLOPT_READDATA, h);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, OnUploadSeek);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, h);
        // A proxy may close its side of a kept connection after any answer (tinyproxy does),
        // and a body that meets the closed socket fails without a retry: posts through a
        // plain proxy each get a connection of their own.
        std::string proxy_host;
        long proxy_port = 0;
        if (!(h->flags & INTERNET_FLAG_SECURE)) EnvironmentProxy(false, proxy_host, proxy_port);
        if (!proxy_host.empty()) {
            curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
        }
    }
    if (h->flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    SetCaStore(e);
    if (!h->proxy_user.empty() || !h->proxy_pass.empty()) {
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, h->proxy_user.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, h->proxy_pass.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        r->in_multi = true;
    }
    curl_multi_add_handle(m_multi, e);
}

void CInetEngine::Finish(InetHandle *h) {
    InetRequest *r = h->request.get();
    if (r && r->easy) {
        if (r->in_multi) curl_multi_remove_handle(m_multi, r->easy);
        curl_easy_cleanup(r->easy);
        curl_slist_free_all(r->headers);
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (r && r->read_listed) m_short_reads.erase(std::find(m_short_reads.begin(), m_short_reads.end(), h));
        QueueNotice(h, INTERNET_STATUS_HANDLE_CLOSING);
        // The notice keeps only the handle's value; a credential request still under way
        // deletes the handle when it ends.
        if (h->dialogs > 0) {
            h->finished = true;
            return;
        }
    }
    delete h;
}

void CInetEngine::CollectDone() {
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(m_multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        void *priv = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &priv);
        OnDone(static_cast<InetHandle *>(priv), msg->data.result);
    }
}

void CInetEngine::OnDone(InetHandle *h, CURLcode result) {
    InetRequest *r = h->request.get();
    long code = 0;
    long connect_code = 0;
    curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_getinfo(r->easy, CURLINFO_HTTP_CONNECTCODE, &connect_code);
    std::lock_guard<std::mutex> guard(m_mutex);
    r->done = true;
    r->result = result;
    if (!r->head_ready && connect_code >= 300) {
        // The proxy refused the tunnel (407 among others): that answer is the response.
        r->head_ready = true;
        r->status = static_cast<uint32_t>(connect_code);
    } else if (!r->head_ready && result == CURLE_OK && code >= 200) {
        r->head_ready = true;
        r->status = static_cast<uint32_t>(code);
    }
    switch (r->pending) {
    case InetPending::kRead:
    case InetPending::kEnd:
        InetComplete(h, r->pending);
        break;
    case InetPending::kHead:
        // A POST whose head never went out has nothing to complete: its connection closed.
        if (!r->post || r->head_ready) InetComplete(h, InetPending::kHead);
        else QueueNotice(h, INTERNET_STATUS_CONNECTION_CLOSED);
        break;
    case InetPending::kWrite:
        if (r->head_ready) InetComplete(h, InetPending::kWrite);  // the rest of the body is not wanted
        else QueueNotice(h, INTERNET_STATUS_CONNECTION_CLOSED);
        break;
    case InetPending::kNone:
        if (!r->head_ready) QueueNotice(h, INTERNET_STATUS_CONNECTION_CLOSED);
        break;
    }
    if (r->pending == InetPending::kHead || r->pending == InetPending::kWrite) r->pending = InetPending::kNone;
}

void CInetEngine::Flush() {
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        notices.swap(m_notices);
    }
    for (const Notice &n : notices) n.callback(n.handle, n.context, n.status, nullptr, 0);
}

void EnvironmentProxy(bool secure, std::string &host, long &port) {
    const char *names_https[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    const char *names_http[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
    const char *value = nullptr;
    if (secure) {
        for (const char *n : names_https) if (!value || !*value) value = getenv(n);
    } else {
        for (const char *n : names_http) if (!value || !*value) value = getenv(n);
    }
    host.clear();
    port = 0;
    if (!value || !*value) return;
    CURLU *u = curl_url();
    if (curl_url_set(u, CURLUPART_URL, value, CURLU_GUESS_SCHEME) == CURLUE_OK) {
        char *h = nullptr;
        char *p = nullptr;
        if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK) host = h;
        if (curl_url_get(u, CURLUPART_PORT, &p, CURLU_DEFAULT_PORT) == CURLUE_OK) port = strtol(p, nullptr, 10);
        curl_free(h);
        curl_free(p);
    }
    curl_url_cleanup(u);
}

}  // namespace ws
