// A process whose HTTP request is still open when main returns, and is closed only by an exit
// handler that runs after the internet layer's own exit handling, as a tunnel client's queued
// closes on the timer thread may be. It must end with status 0 and nothing from a sanitizer.
//
//   qrn_inet_late_close PORT
#include <stdio.h>
#include <stdlib.h>

#include "platform/wininet.h"

namespace {

ws::HINTERNET g_session = nullptr;
ws::HINTERNET g_connection = nullptr;
ws::HINTERNET g_request = nullptr;

void CloseLate() {
    if (!ws::InternetCloseHandle(g_request)) _Exit(3);
    ws::InternetCloseHandle(g_connection);
    ws::InternetCloseHandle(g_session);
}

}  // namespace

int main(int argc, char **argv) {
    const int port = argc == 2 ? atoi(argv[1]) : 0;
    if (port <= 0 || port > 65535) {
        fprintf(stderr, "usage: qrn_inet_late_close PORT\n");
        return 2;
    }
    // Registered before the internet layer starts, so it runs after that layer's exit handling.
    atexit(CloseLate);
    g_session = ws::InternetOpenA("late-close", ws::INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                ws::INTERNET_FLAG_ASYNC);
    g_connection = ws::InternetConnectA(g_session, "127.0.0.1", static_cast<uint16_t>(port), nullptr, nullptr,
                                        ws::INTERNET_SERVICE_HTTP, 0, 0);
    g_request = ws::HttpOpenRequestA(g_connection, "GET", "/", "HTTP/1.1", nullptr, nullptr, 0, 0);
    if (g_request == nullptr || (!ws::HttpSendRequestA(g_request, nullptr, 0, nullptr, 0) &&
                                 ws::GetLastError() != ws::ERROR_IO_PENDING)) {
        fprintf(stderr, "qrn_inet_late_close: the request did not start (error %u)\n", ws::GetLastError());
        return 1;
    }
    return 0;
}
