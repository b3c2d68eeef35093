// The internet layer's proxy setting: what the system names as the proxy for outgoing
// connections. On this platform that is the environment, read the way command-line HTTP
// clients read it: https_proxy, all_proxy, then http_proxy (lower case before upper case), and
// no_proxy for the hosts that are reached directly. The proxy is reported as "host:port" for
// an HTTP proxy and "socks=host:port" for a SOCKS5 proxy, and the user information of the URL,
// if any, as the user name and password for the proxy.
//
// Self-contained (no socket, no libcurl): the socket layer's proxy negotiation and the HTTP
// client both use it. Reads the environment on every call, so a change is seen by the next
// connect; it must not race with setenv in another thread.
#ifndef QRN_PLATFORM_INET_PROXY_H
#define QRN_PLATFORM_INET_PROXY_H

#include <stdint.h>

#include <string>

namespace ws {

// Access types: no proxy, or the proxy named in InetProxySetting::proxy.
constexpr uint32_t kInetProxyAccessDirect = 1;
constexpr uint32_t kInetProxyAccessNamed = 3;

struct InetProxySetting {
    uint32_t access_type = kInetProxyAccessDirect;
    // "host:port" or "socks=host:port" when access_type is kInetProxyAccessNamed; else empty.
    std::string proxy;
    // The URL's user name and password, percent-decoded; both empty when it names no user.
    std::string user;
    std::string password;
    // The variable that was consulted and its text; empty when none is set.
    std::string variable;
    std::string value;
    // Why a set variable gives direct access: it cannot be used ("unsupported scheme", ...),
    // or no_proxy covers the destination ("no_proxy"). Empty otherwise.
    std::string reason;
};

// The proxy for a TCP connection to dest_host (a name or a dotted IPv4 address; null or
// empty skips the no_proxy check).
InetProxySetting InternetQueryProxySetting(const char *dest_host);

// A proxy URL of the environment's form ("http://h:p", "socks5://h:p", "h:p", with or without
// user information and a trailing path) as "host:port" or "socks=host:port", and its user
// information percent-decoded into *user and *password (when not null). False, with *reason
// saying why, when it cannot be used (a URL without a port among them).
bool InternetProxyFromUrl(const std::string &url, std::string *proxy, std::string *reason,
                          std::string *user = nullptr, std::string *password = nullptr);

// True when the no_proxy list (comma or space separated: "*", host names matching
// themselves and their subdomains, IPv4 addresses, IPv4 networks a.b.c.d/n) covers host.
bool InternetProxyBypassed(const std::string &no_proxy, const std::string &host);

}  // namespace ws

#endif
