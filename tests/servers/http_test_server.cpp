// An HTTP/1.1 server for the HTTP client's tests, on libmicrohttpd. It listens on a free
// loopback port (and, given a certificate and key, a TLS port too), prints "port=N" and
// "tls_port=N", and serves until it is stopped:
//   GET  /get?n=N          N body bytes of the pattern, with a Content-Length
//   GET  /chunked?n=N      the same without a length (chunked)
//   GET  /slow?ms=T&n=N    the same after T milliseconds
//   GET  /close?n=N        announces N bytes, sends half, then drops the connection
//   ANY  /status?code=C    answers C with a short body
//   POST /info             "len=L fnv=H cl=X te=Y": the body's length and hash, the request's
//                          Content-Length and Transfer-Encoding ("-" when absent)
//   POST /echo             the body back
//   POST /early?code=C     answers C before reading the body
//   POST /soap?case=K      a SOAP answer: "typed" (elements with and without attributes),
//                          "nobody" (no SOAP body), "huge" (17 MB without a body)
// Body byte i of the pattern is http_test_pattern(i).
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "http_test_pattern.h"

namespace {

constexpr size_t kEchoLimit = 16 * 1024 * 1024;
constexpr size_t kBlock = 64 * 1024;

struct Upload {
    std::string cl;
    std::string te;
    size_t len = 0;
    uint64_t fnv = kFnvBasis;
    std::string body;
    bool answered = false;
};

struct Stream {
    uint64_t size;
    uint64_t stop_at;  // drop the connection here
};

uint64_t Arg(MHD_Connection *c, const char *name, uint64_t fallback) {
    const char *v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
    return v ? strtoull(v, nullptr, 10) : fallback;
}

std::string Header(MHD_Connection *c, const char *name) {
    const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "-";
}

ssize_t ReadPattern(void *cls, uint64_t pos, char *buf, size_t max) {
    Stream *s = static_cast<Stream *>(cls);
    if (pos >= s->stop_at) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (pos >= s->size) return MHD_CONTENT_READER_END_OF_STREAM;
    uint64_t end = s->size < s->stop_at ? s->size : s->stop_at;
    size_t n = static_cast<size_t>(end - pos < max ? end - pos : max);
    for (size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(http_test_pattern(pos + i));
    return static_cast<ssize_t>(n);
}

void FreeStream(void *cls) { delete static_cast<Stream *>(cls); }

MHD_Result Queue(MHD_Connection *c, unsigned code, const std::string &body) {
    MHD_Response *r = MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    MHD_Result ret = MHD_queue_response(c, code, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result QueuePattern(MHD_Connection *c, uint64_t n, bool sized, uint64_t stop_at) {
    Stream *s = new Stream{n, stop_at};
    MHD_Response *r = MHD_create_response_from_callback(sized ? n : MHD_SIZE_UNKNOWN, kBlock, ReadPattern, s, FreeStream);
    MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result OnGet(MHD_Connection *c, const std::string &path) {
    uint64_t n = Arg(c, "n", 0);
    if (path == "/get") return QueuePattern(c, n, true, UINT64_MAX);
    if (path == "/chunked") return QueuePattern(c, n, false, UINT64_MAX);
    if (path == "/slow") {
        std::this_thread::sleep_for(std::chrono::milliseconds(Arg(c, "ms", 0)));
        return QueuePattern(c, n, true, UINT64_MAX);
    }
    if (path == "/close") return QueuePattern(c, n, true, n / 2);
    return Queue(c, MHD_HTTP_NOT_FOUND, "no such route");
}

MHD_Result OnPost(MHD_Connection *c, const std::string &path, Upload *u, const char *data, size_t *size) {
    if (path == "/early") {
        if (u->answered) {
            *size = 0;  // the rest of the body is not wanted
            return MHD_YES;
        }
        u->answered = true;
        return Queue(c, static_cast<unsigned>(Arg(c, "code", 500)), "refused early");
    }
    if (*size) {
        u->len += *size;
        u->fnv = http_test_fnv(u->fnv, data, *size);
        if (path == "/echo" && u->body.size() + *size <= kEchoLimit) u->body.append(data, *size);
        *size = 0;
        return MHD_YES;
    }
    if (path == "/echo") return Queue(c, MHD_HTTP_OK, u->body);
    if (path == "/soap") {
        const char *k = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "case");
        std::string kind = k ? k : "";
        if (kind == "huge") return QueuePattern(c, 17 * 1024 * 1024, true, UINT64_MAX);
        std::string env = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"x\">";
        if (kind == "typed") {
            env += "<SOAP-ENV:Body><ns:R><value xsi:type=\"xsd:int\">7</value><plain>5</plain>"
                   "<neg xsi:type=\"xsd:int\"> -42x</neg><text xsi:type=\"xsd:string\">a&lt;b&amp;c'd&bogus;</text>"
                   "<open xsi:type=\"t\">no end</ns:R></SOAP-ENV:Body>";
        }
        return Queue(c, MHD_HTTP_OK, env + "</SOAP-ENV:Envelope>");
    }
    if (path == "/info") {
        char text[256];
        snprintf(text, sizeof(text), "len=%zu fnv=%016llx cl=%s te=%s", u->len,
                 static_cast<unsigned long long>(u->fnv), u->cl.c_str(), u->te.c_str());
        return Queue(c, MHD_HTTP_OK, text);
    }
    return Queue(c, MHD_HTTP_NOT_FOUND, "no such route");
}

MHD_Result OnRequest(void *, MHD_Connection *c, const char *url, const char *method, const char *,
                     const char *data, size_t *size, void **state) {
    std::string path(url);
    if (path == "/status") {
        unsigned code = static_cast<unsigned>(Arg(c, "code", 500));
        if (*size) {
            *size = 0;
            return MHD_YES;
        }
        return Queue(c, code, "status " + std::to_string(code));
    }
    if (strcmp(method, "POST") != 0) return OnGet(c, path);
    if (!*state) {
        Upload *u = new Upload;
        u->cl = Header(c, "Content-Length");
        u->te = Header(c, "Transfer-Encoding");
        *state = u;
        return MHD_YES;
    }
    return OnPost(c, path, static_cast<Upload *>(*state), data, size);
}

void OnDone(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode) {
    delete static_cast<Upload *>(*state);
    *state = nullptr;
}

std::string ReadFile(const char *path) {
    std::string out;
    FILE *f = fopen(path, "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

MHD_Daemon *Start(unsigned flags, const std::string *cert, const std::string *key) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    flags |= MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD;
    if (cert) {
        return MHD_start_daemon(flags | MHD_USE_TLS, 0, nullptr, nullptr, OnRequest, nullptr,
                                MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_NOTIFY_COMPLETED, OnDone, nullptr,
                                MHD_OPTION_HTTPS_MEM_CERT, cert->c_str(), MHD_OPTION_HTTPS_MEM_KEY, key->c_str(),
                                MHD_OPTION_END);
    }
    return MHD_start_daemon(flags, 0, nullptr, nullptr, OnRequest, nullptr, MHD_OPTION_SOCK_ADDR, &addr,
                            MHD_OPTION_NOTIFY_COMPLETED, OnDone, nullptr, MHD_OPTION_END);
}

int Port(MHD_Daemon *d) {
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    const char *cert_file = nullptr;
    const char *key_file = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--tls-cert") == 0) cert_file = argv[i + 1];
        if (strcmp(argv[i], "--tls-key") == 0) key_file = argv[i + 1];
    }
    MHD_Daemon *plain = Start(0, nullptr, nullptr);
    if (!plain) {
        fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    printf("port=%d\n", Port(plain));
    MHD_Daemon *tls = nullptr;
    std::string cert, key;
    if (cert_file && key_file) {
        cert = ReadFile(cert_file);
        key = ReadFile(key_file);
        tls = Start(0, &cert, &key);
        if (!tls) {
            fprintf(stderr, "cannot start the TLS server\n");
            return 1;
        }
        printf("tls_port=%d\n", Port(tls));
    }
    fflush(stdout);
    for (;;) pause();
}
