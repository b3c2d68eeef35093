#include "qrnlibl/qrn_string.h"

#include <stdarg.h>
#include <stdio.h>

void CQrnString::append(const char *s, int len) {
    if (!s || len <= 0) return;
    m_str.append(s, static_cast<size_t>(len));
}

void CQrnString::format(const char *fmt, ...) {
    m_str.clear();
    if (!fmt) return;
    char small[256];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(small, sizeof(small), fmt, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof(small)) {
        m_str.assign(small, static_cast<size_t>(n));
        return;
    }
    m_str.resize(static_cast<size_t>(n));
    va_start(args, fmt);
    vsnprintf(&m_str[0], static_cast<size_t>(n) + 1, fmt, args);
    va_end(args);
}

int CQrnString::find(const char *s, int from) const {
    if (!s || from < 0 || from > length()) return -1;
    size_t pos = m_str.find(s, static_cast<size_t>(from));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CQrnString::find(char c, int from) const {
    if (from < 0 || from >= length()) return -1;
    size_t pos = m_str.find(c, static_cast<size_t>(from));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CQrnString CQrnString::substr(int pos, int len) const {
    CQrnString out;
    if (pos < 0 || pos > length()) return out;
    size_t count = len < 0 ? std::string::npos : static_cast<size_t>(len);
    out.m_str = m_str.substr(static_cast<size_t>(pos), count);
    return out;
}
