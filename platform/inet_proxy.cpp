// The proxy setting from the environment, as "host:port" or "socks=host:port".
#include "platform/inet_proxy.h"

#include <stdlib.h>

#include <cctype>
#include <string>

namespace ws {

namespace {

// Consulted in this order for a TCP connection, which carries anything (HTTPS first of all).
constexpr const char *kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "all_proxy",
                                           "ALL_PROXY",   "http_proxy",  "HTTP_PROXY"};
constexpr const char *kNoProxyVariables[] = {"no_proxy", "NO_PROXY"};

constexpr int kMaxPort = 65535;
constexpr size_t kMaxHostLength = 253;
constexpr int kIpv4Bits = 32;

constexpr const char *kSocksPrefix = "socks=";
constexpr const char *kBypassReason = "no_proxy";

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
    return s.substr(begin, end - begin);
}

bool all_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// A decimal number no larger than max; false for anything else (also for overlong digit runs).
bool parse_bounded(const std::string &s, int max, int *out) {
    if (!all_digits(s) || s.size() > 5) return false;
    const int value = std::stoi(s);
    if (value > max) return false;
    *out = value;
    return true;
}

bool host_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// A dotted IPv4 address into a host-order number.
bool parse_ipv4(const std::string &s, uint32_t *out) {
    uint32_t ip = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = part < 3 ? s.find('.', at) : s.size();
        if (dot == std::string::npos) return false;
        int octet = 0;
        if (!parse_bounded(s.substr(at, dot - at), 255, &octet)) return false;
        ip = (ip << 8) | static_cast<uint32_t>(octet);
        at = dot + 1;
    }
    *out = ip;
    return true;
}

bool entry_covers(const std::string &raw_entry, const std::string &host) {
    std::string entry = lower(trim(raw_entry));
    if (entry.empty()) return false;
    if (entry == "*") return true;
    uint32_t host_ip = 0;
    if (parse_ipv4(host, &host_ip)) {
        const size_t slash = entry.find('/');
        int bits = kIpv4Bits;
        uint32_t net = 0;
        if (!parse_ipv4(entry.substr(0, slash), &net)) return false;
        if (slash != std::string::npos && !parse_bounded(entry.substr(slash + 1), kIpv4Bits, &bits)) return false;
        const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (kIpv4Bits - bits);
        return (host_ip & mask) == (net & mask);
    }
    if (entry[0] == '.') entry.erase(0, 1);
    if (entry.empty() || host.size() < entry.size()) return false;
    if (host == entry) return true;
    return host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
           host[host.size() - entry.size() - 1] == '.';
}

const char *first_set(const char *const *names, size_t count, const char **value) {
    for (size_t i = 0; i < count; ++i) {
        const char *v = getenv(names[i]);
        if (v != nullptr && *v != '\0') {
            *value = v;
            return names[i];
        }
    }
    return nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// URL percent-decoding; a '%' that does not start an escape stays as it is.
std::string percent_decoded(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const int high = s[i] == '%' && i + 2 < s.size() ? hex_value(s[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(s[i + 2]) : -1;
        if (low < 0) {
            out += s[i];
            continue;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

}  // namespace

bool InternetProxyFromUrl(const std::string &url, std::string *proxy, std::string *reason, std::string *user,
                          std::string *password) {
    std::string rest = trim(url);
    bool socks = false;
    const size_t scheme_end = rest.find("://");
    if (scheme_end != std::string::npos) {
        const std::string scheme = lower(rest.substr(0, scheme_end));
        if (scheme == "socks5" || scheme == "socks5h") {
            socks = true;
        } else if (scheme == "https") {
            *reason = "TLS to the proxy is not supported";
            return false;
        } else if (scheme != "http") {
            *reason = "unsupported scheme";
            return false;
        }
        rest.erase(0, scheme_end + 3);
    }
    if (!rest.empty() && rest[0] == '[') {
        *reason = "IPv6 proxy addresses are not supported";
        return false;
    }
    rest = rest.substr(0, rest.find('/'));
    std::string userinfo;
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        userinfo = rest.substr(0, at);
        rest.erase(0, at + 1);
    }
    const size_t colon = rest.find(':');
    const std::string host = rest.substr(0, colon);
    int port = 0;
    if (colon == std::string::npos) {
        // A guessed port would send the connect to whatever listens there.
        *reason = "no port";
        return false;
    }
    if (!parse_bounded(rest.substr(colon + 1), kMaxPort, &port)) {
        *reason = "bad port";
        return false;
    }
    if (port == 0) {
        *reason = "bad port";
        return false;
    }
    if (host.empty() || host.size() > kMaxHostLength) {
        *reason = "no host";
        return false;
    }
    for (char c : host) {
        if (!host_char(c)) {
            *reason = "bad host";
            return false;
        }
    }
    *proxy = (socks ? std::string(kSocksPrefix) : std::string()) + host + ":" + std::to_string(port);
    const size_t split = userinfo.find(':');
    if (user != nullptr) *user = percent_decoded(userinfo.substr(0, split));
    if (password != nullptr) {
        *password = split == std::string::npos ? std::string() : percent_decoded(userinfo.substr(split + 1));
    }
    return true;
}

bool InternetProxyBypassed(const std::string &no_proxy, const std::string &host_text) {
    const std::string host = lower(trim(host_text));
    if (host.empty()) return false;
    size_t begin = 0;
    while (begin <= no_proxy.size()) {
        size_t end = no_proxy.find_first_of(", ", begin);
        if (end == std::string::npos) end = no_proxy.size();
        if (entry_covers(no_proxy.substr(begin, end - begin), host)) return true;
        begin = end + 1;
    }
    return false;
}

InetProxySetting InternetQueryProxySetting(const char *dest_host) {
    InetProxySetting setting;
    const char *value = nullptr;
    const char *variable = first_set(kProxyVariables, sizeof(kProxyVariables) / sizeof(kProxyVariables[0]), &value);
    if (variable == nullptr) return setting;
    setting.variable = variable;
    setting.value = value;
    const char *bypass = nullptr;
    if (dest_host != nullptr && *dest_host != '\0' &&
        first_set(kNoProxyVariables, sizeof(kNoProxyVariables) / sizeof(kNoProxyVariables[0]), &bypass) != nullptr &&
        InternetProxyBypassed(bypass, dest_host)) {
        setting.reason = kBypassReason;
        return setting;
    }
    std::string proxy;
    if (!InternetProxyFromUrl(setting.value, &proxy, &setting.reason, &setting.user, &setting.password)) {
        return setting;
    }
    setting.access_type = kInetProxyAccessNamed;
    setting.proxy = proxy;
    return setting;
}

}  // namespace ws
