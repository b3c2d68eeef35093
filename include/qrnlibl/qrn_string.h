// A small owned string.
#ifndef QRNLIBL_QRN_STRING_H
#define QRNLIBL_QRN_STRING_H

#include <string>

class CQrnString {
public:
    CQrnString() = default;
    CQrnString(const char *s) : m_str(s ? s : "") {}
    CQrnString(const char *s, int len) : m_str(s ? s : "", s && len > 0 ? len : 0) {}

    CQrnString &operator=(const char *s) { m_str = s ? s : ""; return *this; }
    CQrnString &operator+=(const char *s) { if (s) m_str += s; return *this; }

    const char *c_str() const { return m_str.c_str(); }
    int length() const { return static_cast<int>(m_str.size()); }
    bool empty() const { return m_str.empty(); }
    void clear() { m_str.clear(); }

    void append(const char *s, int len);
    // printf-style; replaces the contents.
    void format(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Position of the first occurrence of s at or after from, or -1.
    int find(const char *s, int from = 0) const;
    int find(char c, int from = 0) const;
    // Up to len characters from pos (the rest when len is negative); empty when pos is out of range.
    CQrnString substr(int pos, int len = -1) const;

    bool operator==(const char *s) const { return m_str == (s ? s : ""); }
    bool operator==(const CQrnString &o) const { return m_str == o.m_str; }
    bool operator!=(const char *s) const { return !(*this == s); }

private:
    std::string m_str;
};

#endif
