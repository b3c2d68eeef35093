// The HTTP capability detector: one per process, it finds out by a short exchange with the
// tunnel server whether a long GET and a long POST stream side by side (mode 1) or only short,
// complete POSTs pass (mode 3), and keeps a successful answer for every later caller. The
// caller hears once per detection: callback(user_data, 201, 0, result, mode, 0).
//
// Start runs on the caller's thread, HTTP socket messages on the internet thread (or the timer
// thread), the time-out check on the timer thread. m_lock guards every field; no HTTP request is
// closed, and no caller is called back, while it is held (a close waits for that request's
// running callback, which may be waiting for the lock).
#ifndef QRN_HTTP_DETECTR_H
#define QRN_HTTP_DETECTR_H

#include <stdint.h>

#include <string>

#include "http/dtctrpdu.h"
#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_lock.h"

class CQrnHttpDetector {
public:
    CQrnHttpDetector() = default;
    virtual ~CQrnHttpDetector();
    CQrnHttpDetector(const CQrnHttpDetector &) = delete;
    CQrnHttpDetector &operator=(const CQrnHttpDetector &) = delete;

    // 1: the kept answer was reported from within this call; 0: a detection started; -1: one
    // is running already (its caller alone hears of it); -2: its first request cannot be made.
    int Start(const char *host, uint16_t port, qrn_callback callback, uintptr_t user_data);
    // Ends a running detection without a report and forgets a kept answer.
    void Stop();

    // The HTTP socket functions' messages and the timer's ticks.
    void OnEvent(int msg, uintptr_t handle, uintptr_t p1);

private:
    enum EState : uint32_t {
        kIdle = 0,
        kAccessibleTest = 1,
        kBigPostTest = 3,
        kSmallPostTest = 4,
        kFinished = 5,
    };

    // What to do once the lock is released.
    struct CAfter {
        uintptr_t close[4] = {};
        bool report = false;
        qrn_callback callback = nullptr;
        uintptr_t user_data = 0;
        uint32_t result = 0;
        uint32_t mode = 0;
    };

    void OnConfirm(uintptr_t handle, uint32_t result, CAfter *after);
    void OnRead(uintptr_t handle, uint32_t count, CAfter *after);
    void OnWrite(uintptr_t handle);
    void OnClose(uintptr_t handle, CAfter *after);
    void OnTimer(CAfter *after);
    void OnPdu(const CDetectorPdu &pdu, CAfter *after);
    void StartBigPostTest(CAfter *after);
    void StartSmallPostTest(CAfter *after);
    void NotifyDetectFinished(uint32_t result, uint32_t mode, CAfter *after);

    uintptr_t Open(int get, unsigned content_length);
    void Queue(const CDetectorPdu &pdu);
    void Flush();
    void Drop(uintptr_t *handle, CAfter *after);
    void ClearRequests(CAfter *after);
    bool TimedOut() const;
    static void Finish(const CAfter &after);

    mutable CQrnLock m_lock;
    qrn_callback m_callback = nullptr;
    uintptr_t m_user_data = 0;
    std::string m_host;
    uint16_t m_port = 0;
    uint32_t m_result = 0;
    uint32_t m_mode = 0;
    uint32_t m_state = kIdle;
    uint32_t m_start_tick = 0;
    uint32_t m_session = 0;
    uintptr_t m_get = 0;
    uintptr_t m_post = 0;
    bool m_timer_on = false;
    // Reply bytes until a PDU is whole; never more than one PDU.
    uint8_t m_buf[dtctr::kPduSize] = {};
    int m_buf_len = 0;
    // POST body bytes not yet taken by the request.
    uint8_t m_out[dtctr::kBigPostBodyLength] = {};
    int m_out_len = 0;
};

// Runs the process's detector; see CQrnHttpDetector::Start.
int qrn_http_detector_start(const char *host, uint16_t port, qrn_callback callback,
                            uintptr_t user_data);
// The callback that the HTTP socket functions and the timer are given.
int qrn_http_detector_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1,
                               uintptr_t p2, uintptr_t p3);
// Test support: ends a running detection without a report and forgets the kept answer.
void qrn_http_detector_reset();

#endif
