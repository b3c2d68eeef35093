#include "rdtp/rdtp_connect_errors.h"

#include <string.h>

#include <algorithm>

void CRdtpConnectErrors::Record(uintptr_t user_data, const std::string &cause) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(), [&](const auto &e) { return e.first == user_data; }),
                 m_kept.end());
    m_kept.emplace_back(user_data, cause);
    if (m_kept.size() > kKept) m_kept.pop_front();
}

void CRdtpConnectErrors::Forget(uintptr_t user_data) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(), [&](const auto &e) { return e.first == user_data; }),
                 m_kept.end());
}

bool CRdtpConnectErrors::Read(uintptr_t user_data, char *out, int size) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto &e : m_kept) {
        if (e.first != user_data) continue;
        rdtp_write_text(e.second, out, size);
        return true;
    }
    return false;
}

CRdtpConnectErrors &rdtp_connect_errors() {
    static auto *errors = new CRdtpConnectErrors();  // never destroyed: reached until the process ends
    return *errors;
}

void rdtp_write_text(const std::string &text, char *out, int size) {
    if (out == nullptr || size < 1) return;
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    memcpy(out, text.data(), n);
    out[n] = '\0';
}
