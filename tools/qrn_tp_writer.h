// Writing a stream through qrn_tp_send with its write blocking, for the tools and benchmarks.
//
// qrn_tp_send takes only part of a buffer when the path is full; the rest is offered again
// after QRN_TP_MSG_WRITABLE. The callback (a library thread) calls OnWritable and End; one
// application thread calls SendAll.
#ifndef QRN_TOOLS_QRN_TP_WRITER_H
#define QRN_TOOLS_QRN_TP_WRITER_H

#include <stddef.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "qrn/qrn_tp.h"

class CTpWriter {
public:
    static constexpr size_t kMaxSend = 65535;  // qrn_tp_send's length is 16-bit

    void SetHandle(int handle) { m_handle = handle; }
    int Handle() const { return m_handle; }
    unsigned long long Sent() const { return m_sent.load(); }

    void OnWritable() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writable = true;
        m_cond.notify_all();
    }

    // The connection has ended: SendAll returns false from now on.
    void End() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_cond.notify_all();
    }

    // Offers data until the library has taken all of it; false when the connection ended.
    bool SendAll(const void *data, size_t len) {
        const char *p = static_cast<const char *>(data);
        while (len > 0) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_ended) return false;
                // Cleared before the send: a QRN_TP_MSG_WRITABLE that follows a short send
                // always arrives after this point and is never missed.
                m_writable = false;
            }
            int want = static_cast<int>(std::min(len, kMaxSend));
            int r = qrn_tp_send(m_handle, p, want, QRN_TP_SEND_STREAM);
            if (r < 0) return false;
            p += r;
            len -= static_cast<size_t>(r);
            m_sent += static_cast<unsigned long long>(r);
            if (r < want) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cond.wait(lock, [&] { return m_writable || m_ended; });
            }
        }
        return true;
    }

private:
    std::atomic<int> m_handle{0};
    std::atomic<unsigned long long> m_sent{0};
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_writable = false;
    bool m_ended = false;
};

#endif
