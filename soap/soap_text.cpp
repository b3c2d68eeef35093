// Entities, envelope pieces and the reading of the answer.
#include "soap/soap_text.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace soap {

namespace {

constexpr char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    "<SOAP-ENV:Envelope SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
    " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\n"
    "  <SOAP-ENV:Body>\n"
    "    <SOAPSDK1:%s xmlns:SOAPSDK1=\"%s\">\n";
constexpr char kProperty[] = "         <%s>%s</%s>\n";
constexpr char kTail[] = "    </SOAPSDK1:%s>\n  </SOAP-ENV:Body>\n</SOAP-ENV:Envelope>";
constexpr char kBodyOpen[] = "<SOAP-ENV:Body>";
constexpr char kBodyClose[] = "</SOAP-ENV:Body>";
constexpr int kMaxDigits = 18;  // a 19th digit could overflow the 64-bit sum

struct Entity {
    char c;
    const char *text;
};
constexpr Entity kEntities[] = {{'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'&', "&amp;"}};

template <class... A>
bool AppendPiece(std::string &out, const char *format, A... args) {
    char piece[kPieceSize];
    int n = snprintf(piece, sizeof(piece), format, args...);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(piece)) return false;
    out.append(piece, static_cast<size_t>(n));
    return true;
}

}  // namespace

std::string Encode(const char *text) {
    std::string out;
    for (const char *p = text ? text : ""; *p; ++p) {
        const char *entity = nullptr;
        for (const Entity &e : kEntities) {
            if (e.c == *p) entity = e.text;
        }
        if (entity) out += entity;
        else out += *p;
    }
    return out;
}

std::string Decode(const char *text, size_t len) {
    std::string out;
    size_t i = 0;
    while (i < len && text[i]) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        const Entity *found = nullptr;
        for (const Entity &e : kEntities) {
            size_t n = strlen(e.text);
            if (i + n <= len && strncmp(text + i, e.text, n) == 0) found = &e;
        }
        if (found) {
            out += found->c;
            i += strlen(found->text);
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

bool AppendHead(std::string &out, const char *action, const char *urn) {
    return AppendPiece(out, kHead, action, urn);
}

bool AppendProperty(std::string &out, const char *name, const char *encoded_value) {
    return AppendPiece(out, kProperty, name, encoded_value, name);
}

bool AppendTail(std::string &out, const char *action) { return AppendPiece(out, kTail, action); }

int CutBody(std::string &answer) {
    const char *text = answer.c_str();  // searched as text: up to its first zero byte
    const char *open = strstr(text, kBodyOpen);
    if (!open) return 5;
    const char *content = open + strlen(kBodyOpen);
    const char *close = strstr(content, kBodyClose);
    if (!close) return 5;
    answer = std::string(content, static_cast<size_t>(close - content));
    return 0;
}

int FindProperty(const std::string &body, const char *name, std::string &value) {
    char open[kSearchSize];
    char close[kSearchSize];
    int n1 = snprintf(open, sizeof(open), "<%s ", name ? name : "");
    int n2 = snprintf(close, sizeof(close), "</%s>", name ? name : "");
    if (!name || n1 < 0 || n2 < 0 || static_cast<size_t>(n2) >= sizeof(close)) return 2;
    const char *text = body.c_str();
    const char *start = strstr(text, open);
    if (!start) return 3;
    const char *gt = strchr(start, '>');
    if (!gt) return 5;
    const char *end = strstr(gt + 1, close);
    if (!end) return 5;
    value.assign(gt + 1, static_cast<size_t>(end - gt - 1));
    return 0;
}

int64_t LeadingNumber(const char *text) {
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t v = 0;
    for (int digits = 0; isdigit(static_cast<unsigned char>(*p)) && digits < kMaxDigits; ++p, ++digits) {
        v = v * 10 + (*p - '0');
    }
    return negative ? -v : v;
}

}  // namespace soap
