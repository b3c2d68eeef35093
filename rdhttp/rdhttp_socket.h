// The two tunnel forms behind one interface, and what they ask of their owner.
//
// A tunnel object is worked only under its owner's lock. It never calls an HTTP close or the
// layer above itself: its sink queues what it reports, and closes go through
// rdhttp_close_request, both carried out once the owner's lock is released (a close waits for
// the request's running callback, which may be waiting for that lock). Its HTTP requests and its
// timer carry the tunnel handle as user data, so a late event finds the handle gone or the
// request no longer the object's and is dropped.
#ifndef QRN_RDHTTP_RDHTTP_SOCKET_H
#define QRN_RDHTTP_RDHTTP_SOCKET_H

#include <stdint.h>

#include "qrnlibl/qrn_lock.h"

class IHttpClientSocketSink {
public:
    virtual const char *GetServerAddr() = 0;
    virtual uint16_t GetServerPort() = 0;
    virtual void OnConfirm(uint32_t result) = 0;
    virtual void OnRead(uint32_t length) = 0;
    virtual void OnWrite() = 0;
    virtual void OnClose(uint32_t code) = 0;
    virtual void OnStatus(uint32_t type, uint32_t value) = 0;
    // The tunnel handle, the user data of every request and timer of the tunnel object.
    virtual uintptr_t GetTunnelHandle() = 0;

protected:
    ~IHttpClientSocketSink() = default;
};

class IHttpClientSocket : public CQrnObject {
public:
    // 0 when the first request is open, 1 when it cannot be made.
    virtual int Connect() = 0;
    virtual int Send(const void *buffer, int length) = 0;
    virtual int Receive(void *buffer, int length) = 0;
    // Ends the session without a report.
    virtual void Close() = 0;
    // The layer above has closed the session: true when the object still has bytes of the
    // uplink to see through (it then reports OnClose once they have gone, or the session has
    // failed), false when it may be closed at once. Nothing read afterwards goes up.
    virtual bool Linger() = 0;
    // After a failure report the object has let its requests go and takes no more events.
    virtual void OnConfirm(uintptr_t handle, uint32_t result) = 0;
    virtual void OnRead(uintptr_t handle, uint32_t length) = 0;
    virtual void OnWrite(uintptr_t handle) = 0;
    virtual void OnClose(uintptr_t handle, uint32_t code) = 0;
    virtual void OnStatus(uintptr_t handle, uint32_t type, uint32_t value) = 0;
    virtual void OnTimer() = 0;
    // Whether the object wants its timer's ticks.
    virtual bool WantsTimer() const { return false; }
};

// Closes an HTTP request of the tunnel later, on the timer thread, with no lock of the tunnel
// held. A handle of 0 is ignored.
void rdhttp_close_request(uintptr_t handle);
// True while closes are queued or being carried out (a process that is about to exit waits
// for false, so that no close runs into the HTTP layer's teardown).
bool rdhttp_closer_busy();

#endif
