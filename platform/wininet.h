// The internet library (WinInet) as the HTTP client uses it, over libcurl's multi interface.
//
// Every request runs asynchronously on one thread of this layer, whatever the number of
// requests. The calls that start, end or feed a request return at once; what they leave
// pending completes later with a request-complete notice (100) to the status callback of the
// handle, always on that thread, never from inside the call. A transfer that fails while no
// call is pending is reported with a connection-closed notice (51). Closing a handle that
// carries a context value ends with one handle-closing notice (70) for it; no notice for
// that handle follows. The status callback runs with no lock of this layer held.
//
// Proxies come from the environment (http_proxy, https_proxy, all_proxy, no_proxy), as
// libcurl reads them; the CA store is the system's, or the file named by CURL_CA_BUNDLE or
// SSL_CERT_FILE.
#ifndef QRN_PLATFORM_WININET_H
#define QRN_PLATFORM_WININET_H

#include <stdint.h>

#include "platform/win_error.h"
#include "qrn/qrn_tp.h"

namespace ws {

struct InetHandle;
typedef InetHandle *HINTERNET;

typedef void (*INTERNET_STATUS_CALLBACK)(HINTERNET handle, uintptr_t context, uint32_t status,
                                         void *info, uint32_t info_len);

constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr uint32_t INTERNET_FLAG_ASYNC = 0x10000000;
constexpr uint32_t INTERNET_SERVICE_HTTP = 3;

constexpr uint32_t INTERNET_STATUS_CONNECTION_CLOSED = 51;
constexpr uint32_t INTERNET_STATUS_HANDLE_CLOSING = 70;
constexpr uint32_t INTERNET_STATUS_REQUEST_COMPLETE = 100;

constexpr uint32_t INTERNET_OPTION_PROXY_USERNAME = 43;
constexpr uint32_t INTERNET_OPTION_PROXY_PASSWORD = 44;

constexpr uint32_t INTERNET_FLAG_RELOAD = 0x80000000;
constexpr uint32_t INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr uint32_t INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr uint32_t INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;
constexpr uint32_t INTERNET_FLAG_SECURE = 0x00800000;
constexpr uint32_t INTERNET_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr uint32_t INTERNET_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

constexpr uint32_t HTTP_ADDREQ_FLAG_ADD = 0x20000000;

constexpr uint32_t IRF_ASYNC = 0x1;
constexpr uint32_t IRF_NO_WAIT = 0x8;

constexpr uint32_t HTTP_QUERY_FLAG_NUMBER = 0x20000000;
constexpr uint32_t HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr uint32_t HTTP_QUERY_STATUS_CODE = 19;
constexpr uint32_t HTTP_QUERY_TRANSFER_ENCODING = 63;

constexpr uint32_t FLAGS_ERROR_UI_FILTER_FOR_ERRORS = 0x1;
constexpr uint32_t FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS = 0x2;

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_IO_PENDING = 997;
constexpr uint32_t ERROR_CANCELLED = 1223;
constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
constexpr uint32_t ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr uint32_t ERROR_INTERNET_FORCE_RETRY = 12032;
constexpr uint32_t ERROR_INTERNET_SEC_CERT_ERRORS = 12055;
constexpr uint32_t ERROR_HTTP_HEADER_NOT_FOUND = 12150;

struct INTERNET_BUFFERSA {
    uint32_t dwStructSize;
    INTERNET_BUFFERSA *Next;
    const char *lpcszHeader;
    uint32_t dwHeadersLength;
    uint32_t dwHeadersTotal;
    void *lpvBuffer;
    uint32_t dwBufferLength;
    uint32_t dwBufferTotal;  // the body length of a request; 0 when not known
    uint32_t dwOffsetLow;
    uint32_t dwOffsetHigh;
};

// The calling thread's last error of these functions.
uint32_t GetLastError();

// The session; only the asynchronous mode with the environment's proxies is supported.
HINTERNET InternetOpenA(const char *agent, uint32_t access_type, const char *proxy,
                        const char *bypass, uint32_t flags);
HINTERNET InternetConnectA(HINTERNET session, const char *host, uint16_t port, const char *user,
                           const char *password, uint32_t service, uint32_t flags,
                           uintptr_t context);
// Installs the callback on a connection; requests opened on it inherit it.
INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle,
                                                   INTERNET_STATUS_CALLBACK callback);
// Options 43 and 44 on a connection or a request.
bool InternetSetOptionA(HINTERNET handle, uint32_t option, const void *buffer, uint32_t length);
bool InternetQueryOptionA(HINTERNET handle, uint32_t option, void *buffer, uint32_t *length);
HINTERNET HttpOpenRequestA(HINTERNET connection, const char *verb, const char *path,
                           const char *version, const char *referrer, const char **accept_types,
                           uint32_t flags, uintptr_t context);
bool HttpAddRequestHeadersA(HINTERNET request, const char *headers, uint32_t length,
                            uint32_t modifiers);
// Start a POST whose body follows through InternetWriteFile, or a GET. Both complete later.
bool HttpSendRequestExA(HINTERNET request, INTERNET_BUFFERSA *buffers_in,
                        INTERNET_BUFFERSA *buffers_out, uint32_t flags, uintptr_t context);
bool HttpSendRequestA(HINTERNET request, const char *headers, uint32_t headers_length,
                      const void *optional, uint32_t optional_length);
// One piece of the body: true when taken at once; false with ERROR_IO_PENDING when it was
// taken but completes later (*written is then filled in before the notice). A request that
// announced "Transfer-Encoding: chunked" takes its body in chunk framing.
bool InternetWriteFile(HINTERNET request, const void *data, uint32_t length, uint32_t *written);
// The body is complete; the response head completes it.
bool HttpEndRequestA(HINTERNET request, INTERNET_BUFFERSA *buffers_out, uint32_t flags,
                     uintptr_t context);
// Copies what has arrived into buffers->lpvBuffer (up to dwBufferLength, set to the count):
// true with a count of 0 at the body's end, false with ERROR_IO_PENDING when nothing is there.
bool InternetReadFileExA(HINTERNET request, INTERNET_BUFFERSA *buffers, uint32_t flags,
                         uintptr_t context);
bool HttpQueryInfoA(HINTERNET request, uint32_t info_level, void *buffer, uint32_t *length,
                    uint32_t *index);
// The credentials "dialog": asks the registered provider for the proxy's user name and
// password and keeps them on the request. ERROR_SUCCESS when given, ERROR_CANCELLED when no
// provider is registered or it declines. Runs the provider on the calling thread.
uint32_t InternetErrorDlg(void *window, HINTERNET request, uint32_t error, uint32_t flags,
                          void **data);
bool InternetCloseHandle(HINTERNET handle);

// Registers the application's provider of proxy credentials (null removes it).
void InternetSetCredentialsProvider(qrn_credentials_provider provider);

}  // namespace ws

#endif
