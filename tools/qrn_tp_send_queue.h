// Writing a stream through qrn_tp_send from the library's callbacks, which must not wait.
//
// qrn_tp_send may take only part of what it is offered, or nothing: a path whose rate budget
// is spent, or the connection's own acknowledgement report still waiting for the path, holds
// up even a few bytes. What it does not take stays queued, in order, and is offered again on
// QRN_TP_MSG_WRITABLE. Any thread may call Send and OnWritable, also from inside qrn_tp_send
// (which can raise QRN_TP_MSG_WRITABLE itself): one thread sends at a time, and a call that
// comes meanwhile has that thread try once more.
#ifndef QRN_TOOLS_QRN_TP_SEND_QUEUE_H
#define QRN_TOOLS_QRN_TP_SEND_QUEUE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "qrn/qrn_tp.h"

class CTpSendQueue {
public:
    void SetHandle(int handle) { m_handle = handle; }

    // Queues len bytes behind those still owed and offers what is owed. False once a send has
    // failed (the connection is not open): nothing more goes out.
    bool Send(const void *data, size_t len) {
        const auto *bytes = static_cast<const uint8_t *>(data);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_failed) return false;
            m_owed.insert(m_owed.end(), bytes, bytes + len);
        }
        Flush();
        return !Failed();
    }

    // QRN_TP_MSG_WRITABLE arrived: everything taken so far is on its way.
    void OnWritable() { Flush(); }

    size_t Owed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_owed.size();
    }
    bool Failed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failed;
    }
    // Sends that took less than they were offered.
    int ShortTakes() const { return m_short_takes.load(); }

private:
    static constexpr size_t kMaxOffer = 65535;  // qrn_tp_send's length is 16-bit

    void Flush() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_sending) {
            m_again = true;
            return;
        }
        m_sending = true;
        do {
            m_again = false;
            while (!m_owed.empty() && !m_failed) {
                // Offered outside the lock: the library may call back into this queue.
                const size_t n = m_owed.size() < kMaxOffer ? m_owed.size() : kMaxOffer;
                std::vector<uint8_t> offer(m_owed.begin(), m_owed.begin() + static_cast<ptrdiff_t>(n));
                lock.unlock();
                const int r = qrn_tp_send(m_handle, offer.data(), static_cast<int>(offer.size()),
                                          QRN_TP_SEND_STREAM);
                lock.lock();
                if (r < 0) {
                    m_failed = true;
                    break;
                }
                m_owed.erase(m_owed.begin(), m_owed.begin() + r);
                if (static_cast<size_t>(r) < offer.size()) {
                    ++m_short_takes;
                    break;
                }
            }
        } while (m_again && !m_owed.empty() && !m_failed);
        m_sending = false;
    }

    std::atomic<int> m_handle{0};
    std::atomic<int> m_short_takes{0};
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_owed;
    bool m_sending = false;
    bool m_again = false;
    bool m_failed = false;
};

#endif
