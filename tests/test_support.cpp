#include "test_support.h"

#include <algorithm>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"

namespace qrntest {

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms, int period_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
    }
    return true;
}

ClockFactor::ClockFactor(uint32_t factor) : m_previous(qrn_clock_get_factor()) {
    qrn_clock_set_factor(factor);
}

ClockFactor::~ClockFactor() { qrn_clock_set_factor(m_previous); }

TraceCapture::TraceCapture() { g_qrn_trace_file.SetSink(&TraceCapture::Sink, this); }

TraceCapture::~TraceCapture() { g_qrn_trace_file.Close(); }

void TraceCapture::Sink(void *ctx, const char *line) {
    auto *self = static_cast<TraceCapture *>(ctx);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_lines.emplace_back(line);
}

std::vector<std::string> TraceCapture::Lines() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
}

int TraceCapture::Count(const std::vector<std::string> &pieces) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string &l) {
        return std::all_of(pieces.begin(), pieces.end(),
                           [&](const std::string &p) { return l.find(p) != std::string::npos; });
    }));
}

bool TraceCapture::WaitForLine(const std::vector<std::string> &pieces, int timeout_ms) const {
    return WaitUntil([&] { return Count(pieces) > 0; }, timeout_ms);
}

int EventRecorder::Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1,
                            uintptr_t p2, uintptr_t p3) {
    auto *self = reinterpret_cast<EventRecorder *>(user);
    Event e{user, msg, handle, p1, p2, p3};
    std::function<void(const Event &)> hook;
    {
        std::lock_guard<std::mutex> guard(self->m_mutex);
        hook = self->m_hook;
    }
    if (hook) hook(e);
    self->Record(e);
    return 0;
}

void EventRecorder::SetHook(std::function<void(const Event &)> hook) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_hook = std::move(hook);
}

void EventRecorder::Record(const Event &e) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.push_back(e);
    m_cond.notify_all();
}

std::vector<Event> EventRecorder::Events() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_events;
}

int EventRecorder::Count(int msg) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(
        std::count_if(m_events.begin(), m_events.end(), [&](const Event &e) { return e.msg == msg; }));
}

int EventRecorder::Count(int msg, uintptr_t handle) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(std::count_if(m_events.begin(), m_events.end(), [&](const Event &e) {
        return e.msg == msg && e.handle == handle;
    }));
}

bool EventRecorder::WaitForCount(int msg, int count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return std::count_if(m_events.begin(), m_events.end(),
                             [&](const Event &e) { return e.msg == msg; }) >= count;
    });
}

Event EventRecorder::WaitFor(int msg, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Not an event: a check of its p1 against 0 (success) must fail.
    Event found{0, -1, 0, kNoEvent, kNoEvent, kNoEvent};
    m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const Event &e : m_events) {
            if (e.msg == msg) {
                found = e;
                return true;
            }
        }
        return false;
    });
    return found;
}

void EventRecorder::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.clear();
}

}  // namespace qrntest
