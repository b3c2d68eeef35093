// CRdtpConnectErrors: why recent connects failed, kept past the end of their connections. A
// failed connect's handle is gone before its upper layer reports the failure, so the cause is
// kept under the upper layer's user data of that connect until a new connection takes the
// same user data, or until it is among the oldest beyond the last kKept. Its own lock is a
// leaf: taken with a connection's lock held or without, it takes no other.
#ifndef QRN_RDTP_RDTP_CONNECT_ERRORS_H
#define QRN_RDTP_RDTP_CONNECT_ERRORS_H

#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <utility>

class CRdtpConnectErrors {
public:
    static constexpr size_t kKept = 64;

    void Record(uintptr_t user_data, const std::string &cause);
    void Forget(uintptr_t user_data);
    // Copies the cause kept for user_data into out (NUL-terminated, cut to size); false, with
    // nothing written, when none is kept.
    bool Read(uintptr_t user_data, char *out, int size);

private:
    std::mutex m_mutex;
    std::deque<std::pair<uintptr_t, std::string>> m_kept;
};

CRdtpConnectErrors &rdtp_connect_errors();

// Writes text into the size bytes at out, NUL-terminated and cut to fit (nothing when size < 1).
void rdtp_write_text(const std::string &text, char *out, int size);

#endif
