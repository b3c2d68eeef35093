// The HTTP client's module: the notice queue, the internet thread that works it, start-up and
// shut-down.
#include "http/whttpie_module.h"

#include <atomic>

#include "http/http_defs.h"
#include "http/whttpie.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_thread.h"
#include "qrnlibl/qrn_trace.h"

using namespace http;

namespace {

struct WcsNotice {
    uint32_t status;
    uintptr_t context;
};

// Takes notices off the queue one at a time and hands each to its request's owner.
class CWcsThread : public CQrnThread {
public:
    ~CWcsThread() override;
    int OnThreadRun() override;
    void Wake() { m_wake.Signal(); }

private:
    void Handle(const WcsNotice &n);
    bool Quitting() const { return m_quit.load(std::memory_order_acquire); }
    CQrnWait m_wake;
    std::atomic<bool> m_quit{false};
};

// Calls a function when it is destroyed at unload.
class CWCSDestroyObj {
public:
    explicit CWCSDestroyObj(int (*fn)()) : m_fn(fn) {}
    ~CWCSDestroyObj() { if (m_fn) m_fn(); }

private:
    int (*m_fn)();
};

// Members go in reverse order at unload: the thread stops before the queue is destroyed.
struct WcsModule {
    CQrnLock lock;
    qrn_array *queue = nullptr;
    std::atomic<int> instances{0};
    CWCSDestroyObj destroy{WCSHttpIEShutdown};
    CWcsThread thread;
};

WcsModule &Module() {
    static WcsModule module;
    return module;
}

CWcsThread::~CWcsThread() {
    // The thread waits without a time-out: it must be woken to see the stop.
    m_quit.store(true, std::memory_order_release);
    Wake();
    ThreadStop();
}

int CWcsThread::OnThreadRun() {
    WcsModule &m = Module();
    while (!Quitting()) {
        m_wake.Wait(-1);
        for (;;) {
            WcsNotice n;
            {
                CQrnFuncLock guard(m.lock);
                if (!m.queue || qrn_array_size(m.queue) == 0) break;
                n = *static_cast<WcsNotice *>(qrn_array_get(m.queue, 0));
                qrn_array_remove(m.queue, 0);
            }
            Handle(n);
        }
    }
    return 0;
}

void CWcsThread::Handle(const WcsNotice &n) {
    WcsRequestContext *ctx = reinterpret_cast<WcsRequestContext *>(n.context);
    if (!ctx) return;
    CWCSHttpIE *owner = nullptr;
    {
        CQrnFuncLock guard(Module().lock);
        if (n.status == ws::INTERNET_STATUS_HANDLE_CLOSING) {
            ++ctx->closing_notices;
            if (!ctx->owner && ctx->closing_notices >= ctx->handles_open) delete ctx;
            return;
        }
        if (Quitting()) return;  // at unload only contexts are freed
        owner = ctx->owner;
        if (owner && !owner->TryAddRef()) owner = nullptr;
    }
    if (!owner) return;
    owner->DoCallback(n.status);
    owner->Release();
}

}  // namespace

CQrnLock &WcsModuleLock() { return Module().lock; }

int WcsNextInstance() { return ++Module().instances; }

void WcsStatusCallback(ws::HINTERNET handle, uintptr_t context, uint32_t status, void *, uint32_t) {
    qrn_trace_text("hInternet=", static_cast<const void *>(handle), ", dwInternetStatus=", status,
                   ", dwContext=", context);
    if (status != ws::INTERNET_STATUS_CONNECTION_CLOSED && status != ws::INTERNET_STATUS_HANDLE_CLOSING &&
        status != ws::INTERNET_STATUS_REQUEST_COMPLETE) {
        return;
    }
    WcsQueueNotice(status, context);
}

void WcsQueueNotice(uint32_t status, uintptr_t context) {
    WcsModule &m = Module();
    {
        CQrnFuncLock guard(m.lock);
        if (!m.queue) return;
        WcsNotice n{status, context};
        qrn_array_append(m.queue, &n);
    }
    m.thread.Wake();
}

int WCSHttpIEStartup() {
    WcsModule &m = Module();
    CQrnFuncLock guard(m.lock);
    if (m.queue) return 1;
    qrn_trace_event(kTraceModule, kTraceStartup);
    m.queue = qrn_array_init_ex(sizeof(WcsNotice), 0);
    if (!m.queue) return 0;
    qrn_array_set_lock(m.queue, &m.lock);
    if (m.thread.ThreadStart() != 0) {
        qrn_array_destroy(m.queue);
        m.queue = nullptr;
        return 0;
    }
    return 1;
}

int WCSHttpIEShutdown() {
    WcsModule &m = Module();
    qrn_trace_event(kTraceModule, kTraceShutdown);
    CQrnFuncLock guard(m.lock);
    if (m.queue) qrn_array_destroy(m.queue);
    m.queue = nullptr;
    return 0;
}
