// The WinInet calls of the HTTP client over the internet layer's engine.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>

#include "platform/inet_engine.h"
#include "platform/wininet.h"

namespace ws {

namespace {

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;
constexpr int kCredentialSize = 256;
constexpr char kChunkedHeader[] = "transfer-encoding: chunked";

thread_local uint32_t t_last_error = 0;
std::atomic<qrn_credentials_provider> g_provider{nullptr};

bool Fail(uint32_t error) {
    t_last_error = error;
    return false;
}

InetHandle *Request(HINTERNET h) {
    return h && h->kind == InetKind::kRequest ? h : nullptr;
}

uint32_t ErrorOf(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
        return ERROR_INTERNET_SEC_CERT_ERRORS;
    default:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    }
}

bool StartRequest(InetHandle *h) {
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (r->started || h->closed) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    r->started = true;
    r->pending = InetPending::kHead;
    CInetEngine::Instance().QueueStart(h);
    return Fail(ERROR_IO_PENDING);
}

std::string *CredentialField(HINTERNET h, uint32_t option) {
    if (!h || h->kind == InetKind::kSession) return nullptr;
    if (option == INTERNET_OPTION_PROXY_USERNAME) return &h->proxy_user;
    if (option == INTERNET_OPTION_PROXY_PASSWORD) return &h->proxy_pass;
    return nullptr;
}

}  // namespace

uint32_t GetLastError() { return t_last_error; }

void InternetSetCredentialsProvider(qrn_credentials_provider provider) { g_provider.store(provider); }

HINTERNET InternetOpenA(const char *agent, uint32_t access_type, const char *, const char *,
                        uint32_t flags) {
    if (access_type != INTERNET_OPEN_TYPE_PRECONFIG || !(flags & INTERNET_FLAG_ASYNC)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CInetEngine::Instance();  // the thread runs from the first session on
    InetHandle *h = new InetHandle;
    h->kind = InetKind::kSession;
    h->agent = agent ? agent : "";
    return h;
}

HINTERNET InternetConnectA(HINTERNET session, const char *host, uint16_t port, const char *,
                           const char *, uint32_t service, uint32_t, uintptr_t context) {
    if (!session || session->kind != InetKind::kSession || !host || !*host ||
        service != INTERNET_SERVICE_HTTP) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    InetHandle *h = new InetHandle;
    h->kind = InetKind::kConnection;
    h->agent = session->agent;
    h->host = host;
    h->port = port;
    h->context = context;
    h->has_context = true;
    return h;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle, INTERNET_STATUS_CALLBACK callback) {
    if (!handle) return nullptr;
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    INTERNET_STATUS_CALLBACK old = handle->callback;
    handle->callback = callback;
    return old;
}

bool InternetSetOptionA(HINTERNET handle, uint32_t option, const void *buffer, uint32_t length) {
    std::string *field = CredentialField(handle, option);
    if (!field || !buffer) return Fail(ERROR_INVALID_PARAMETER);
    const char *text = static_cast<const char *>(buffer);
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    field->assign(text, strnlen(text, length));
    return true;
}

bool InternetQueryOptionA(HINTERNET handle, uint32_t option, void *buffer, uint32_t *length) {
    std::string *field = CredentialField(handle, option);
    if (!field || !length) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (!buffer || *length < field->size() + 1) {
        *length = static_cast<uint32_t>(field->size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, field->c_str(), field->size() + 1);
    *length = static_cast<uint32_t>(field->size());
    return true;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, const char *verb, const char *path, const char *,
                           const char *, const char **, uint32_t flags, uintptr_t context) {
    if (!connection || connection->kind != InetKind::kConnection || !verb || !path) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool post = strcmp(verb, "POST") == 0;
    if (!post && strcmp(verb, "GET") != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool secure = (flags & INTERNET_FLAG_SECURE) != 0;
    uint16_t port = connection->port ? connection->port : (secure ? kHttpsPort : kHttpPort);
    InetHandle *h = new InetHandle;
    h->kind = InetKind::kRequest;
    h->agent = connection->agent;
    h->host = connection->host;
    h->port = port;
    h->flags = flags;
    h->context = context;
    h->has_context = true;
    h->request = std::make_unique<InetRequest>();
    h->request->post = post;
    h->request->url = std::string(secure ? "https://" : "http://") + connection->host + ":" +
                      std::to_string(port) + (path[0] == '/' ? "" : "/") + path;
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    h->callback = connection->callback;
    h->proxy_user = connection->proxy_user;
    h->proxy_pass = connection->proxy_pass;
    return h;
}

bool HttpAddRequestHeadersA(HINTERNET request, const char *headers, uint32_t length, uint32_t) {
    InetHandle *h = Request(request);
    if (!h || !headers) return Fail(ERROR_INVALID_PARAMETER);
    std::string text(headers, length == static_cast<uint32_t>(-1) ? strlen(headers) : strnlen(headers, length));
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (h->request->started) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    h->request->added_headers += text;
    if (text.size() && text.back() != '\n') h->request->added_headers += "\r\n";
    for (size_t pos = 0; pos + sizeof(kChunkedHeader) - 1 <= text.size(); ++pos) {
        if (strncasecmp(text.c_str() + pos, kChunkedHeader, sizeof(kChunkedHeader) - 1) == 0) {
            h->request->chunked = true;
        }
    }
    return true;
}

bool HttpSendRequestExA(HINTERNET request, INTERNET_BUFFERSA *buffers_in, INTERNET_BUFFERSA *,
                        uint32_t, uintptr_t) {
    InetHandle *h = Request(request);
    if (!h || !h->request->post) return Fail(ERROR_INVALID_PARAMETER);
    InetRequest *r = h->request.get();
    // libcurl writes the Content-Length itself, from the length it is given.
    std::string &hdr = r->added_headers;
    for (size_t pos = 0; (pos = hdr.find("Content-Length:", pos)) != std::string::npos;) {
        size_t end = hdr.find("\r\n", pos);
        hdr.erase(pos, end == std::string::npos ? std::string::npos : end + 2 - pos);
    }
    if (buffers_in && buffers_in->dwBufferTotal && !r->chunked) r->body_length = buffers_in->dwBufferTotal;
    return StartRequest(h);
}

bool HttpSendRequestA(HINTERNET request, const char *, uint32_t, const void *, uint32_t) {
    InetHandle *h = Request(request);
    if (!h || h->request->post) return Fail(ERROR_INVALID_PARAMETER);
    return StartRequest(h);
}

bool InternetWriteFile(HINTERNET request, const void *data, uint32_t length, uint32_t *written) {
    InetHandle *h = Request(request);
    if (!h || !written || (!data && length)) return Fail(ERROR_INVALID_PARAMETER);
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    *written = 0;
    if (!r->post || !r->started || h->closed || r->upload_finished || r->pending != InetPending::kNone) {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    if (r->done) {
        if (!r->head_ready) return Fail(ErrorOf(r->result));
        *written = length;  // the server has answered already: the rest of the body is not wanted
        return true;
    }
    const char *bytes = static_cast<const char *>(data);
    if (r->chunked) {
        CChunkDecoder::Result res = r->dechunk.Feed(bytes, length, r->upload);
        if (res == CChunkDecoder::kError) return Fail(ERROR_INVALID_PARAMETER);
        if (res == CChunkDecoder::kEnd) r->upload_finished = true;
    } else {
        r->upload.insert(r->upload.end(), bytes, bytes + length);
    }
    if (r->read_paused) CInetEngine::Instance().QueueResume(h);
    if (r->UploadBuffered() < CInetEngine::kUploadLimit) {
        *written = length;
        return true;
    }
    r->pending = InetPending::kWrite;
    r->pending_written = written;
    r->pending_write_len = length;
    return Fail(ERROR_IO_PENDING);
}

bool HttpEndRequestA(HINTERNET request, INTERNET_BUFFERSA *, uint32_t, uintptr_t) {
    InetHandle *h = Request(request);
    if (!h || !h->request->post) return Fail(ERROR_INVALID_PARAMETER);
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (!r->started || h->closed || r->pending != InetPending::kNone) {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    if (r->done && !r->head_ready) return Fail(ErrorOf(r->result));
    r->upload_finished = true;
    if (r->read_paused) CInetEngine::Instance().QueueResume(h);
    r->pending = InetPending::kEnd;
    if (r->head_ready) InetComplete(h, InetPending::kEnd);
    return Fail(ERROR_IO_PENDING);
}

bool InternetReadFileExA(HINTERNET request, INTERNET_BUFFERSA *buffers, uint32_t, uintptr_t) {
    InetHandle *h = Request(request);
    if (!h || !buffers || (!buffers->lpvBuffer && buffers->dwBufferLength)) return Fail(ERROR_INVALID_PARAMETER);
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (!r->head_ready || h->closed || r->pending != InetPending::kNone) {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    size_t avail = r->DownloadBuffered();
    if (avail > 0) {
        size_t n = avail < buffers->dwBufferLength ? avail : buffers->dwBufferLength;
        memcpy(buffers->lpvBuffer, r->download.data() + r->download_off, n);
        r->download_off += n;
        if (r->download_off == r->download.size() || r->download_off > r->download.size() / 2) {
            r->download.erase(r->download.begin(), r->download.begin() + static_cast<std::ptrdiff_t>(r->download_off));
            r->download_off = 0;
        }
        if (r->write_paused && r->DownloadBuffered() < CInetEngine::kDownloadLimit / 2) {
            CInetEngine::Instance().QueueResume(h);
        }
        buffers->dwBufferLength = static_cast<uint32_t>(n);
        return true;
    }
    if (r->done) {
        if (r->result != CURLE_OK) return Fail(ErrorOf(r->result));
        buffers->dwBufferLength = 0;
        return true;
    }
    r->pending = InetPending::kRead;
    return Fail(ERROR_IO_PENDING);
}

bool HttpQueryInfoA(HINTERNET request, uint32_t info_level, void *buffer, uint32_t *length, uint32_t *) {
    InetHandle *h = Request(request);
    if (!h || !buffer || !length) return Fail(ERROR_INVALID_PARAMETER);
    InetRequest *r = h->request.get();
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (!r->head_ready) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    bool number = (info_level & HTTP_QUERY_FLAG_NUMBER) != 0;
    uint32_t what = info_level & ~HTTP_QUERY_FLAG_NUMBER;
    if (number) {
        if (*length < sizeof(uint32_t)) return Fail(ERROR_INSUFFICIENT_BUFFER);
        uint32_t value = 0;
        if (what == HTTP_QUERY_STATUS_CODE) {
            value = r->status;
        } else if (what == HTTP_QUERY_CONTENT_LENGTH) {
            if (r->head.content_length < 0 || r->head.content_length > 0xffffffffLL) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
            value = static_cast<uint32_t>(r->head.content_length);
        } else {
            return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
        }
        memcpy(buffer, &value, sizeof(value));
        *length = sizeof(value);
        return true;
    }
    if (what != HTTP_QUERY_TRANSFER_ENCODING || r->head.transfer_encoding.empty()) {
        return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
    const std::string &v = r->head.transfer_encoding;
    if (*length < v.size() + 1) {
        *length = static_cast<uint32_t>(v.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, v.c_str(), v.size() + 1);
    *length = static_cast<uint32_t>(v.size());
    return true;
}

uint32_t InternetErrorDlg(void *, HINTERNET request, uint32_t, uint32_t, void **) {
    InetHandle *h = Request(request);
    qrn_credentials_provider provider = g_provider.load();
    if (!h || !provider) return ERROR_CANCELLED;
    std::string server;
    long server_port = 0;
    {
        std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
        if (h->closed) return ERROR_CANCELLED;
        ++h->dialogs;
        server = h->host;
        server_port = h->port;
    }
    std::string host;
    long port = 0;
    EnvironmentProxy((h->flags & INTERNET_FLAG_SECURE) != 0, host, port);
    if (host.empty()) {  // no proxy: the server itself asked
        host = server;
        port = server_port;
    }
    char user[kCredentialSize] = {};
    char pass[kCredentialSize] = {};
    // The provider is the application's: no lock of this layer is held while it runs.
    bool given = provider(host.c_str(), static_cast<int>(port), user, kCredentialSize, pass, kCredentialSize) == 0;
    bool orphan = false;
    {
        std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
        --h->dialogs;
        orphan = h->finished && h->dialogs == 0;
        if (given && !h->closed) {
            h->proxy_user.assign(user, strnlen(user, kCredentialSize));
            h->proxy_pass.assign(pass, strnlen(pass, kCredentialSize));
        }
    }
    if (orphan) delete h;
    return given ? ERROR_SUCCESS : ERROR_CANCELLED;
}

bool InternetCloseHandle(HINTERNET handle) {
    if (!handle) return Fail(ERROR_INVALID_HANDLE);
    if (handle->kind == InetKind::kSession) {
        delete handle;
        return true;
    }
    std::lock_guard<std::mutex> guard(CInetEngine::Instance().Mutex());
    if (handle->closed) return Fail(ERROR_INVALID_HANDLE);
    CInetEngine::Instance().QueueClose(handle);
    return true;
}

}  // namespace ws
