#include "rdtp/rdtp_resume_limit.h"

#include <mutex>
#include <new>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"

using namespace rdtp;

void CRdtpResumeLimiter::Refill(Entry &entry, uint32_t now) {
    if (entry.owed == 0) return;
    const uint32_t periods = calc_tick_diff(entry.since, now) / kResumeFailRefillMs;
    if (periods >= entry.owed) {
        entry.owed = 0;
        return;
    }
    entry.owed = static_cast<uint16_t>(entry.owed - periods);
    entry.since += periods * kResumeFailRefillMs;
}

CRdtpResumeLimiter::Entry *CRdtpResumeLimiter::Find(uint32_t source, uint32_t now) {
    for (Entry &entry : m_entries) {
        Refill(entry, now);
        if (entry.owed != 0 && entry.source == source) return &entry;
    }
    return nullptr;
}

// A free slot, or else the one that owes least (the oldest among equals): a flood of new
// addresses can push out an old debtor, but each of them then starts with a full budget.
CRdtpResumeLimiter::Entry &CRdtpResumeLimiter::Slot(uint32_t now) {
    Entry *best = &m_entries[0];
    for (Entry &entry : m_entries) {
        Refill(entry, now);
        if (entry.owed == 0) return entry;
        if (entry.owed < best->owed ||
            (entry.owed == best->owed && calc_tick_diff(entry.since, now) > calc_tick_diff(best->since, now))) {
            best = &entry;
        }
    }
    return *best;
}

bool CRdtpResumeLimiter::Allowed(uint32_t source, uint32_t now) {
    const Entry *entry = Find(source, now);
    return entry == nullptr || entry->owed < kResumeFailBurst;
}

bool CRdtpResumeLimiter::Failed(uint32_t source, uint32_t now) {
    Entry *entry = Find(source, now);
    if (entry == nullptr) {
        entry = &Slot(now);
        *entry = Entry{source, now, 0};
    }
    if (entry->owed >= kResumeFailBurst) return false;
    // The refill counts from the first failure the source owes.
    if (entry->owed == 0) entry->since = now;
    ++entry->owed;
    return entry->owed == kResumeFailBurst;
}

int CRdtpResumeLimiter::Indebted(uint32_t now) {
    int n = 0;
    for (Entry &entry : m_entries) {
        Refill(entry, now);
        if (entry.owed != 0) ++n;
    }
    return n;
}

void CRdtpResumeLimiter::Clear() {
    for (Entry &entry : m_entries) entry = Entry{};
}

namespace {

struct CResumeTable {
    std::mutex mutex;
    CRdtpResumeLimiter limiter;
};

// Never destroyed: the socket thread may still hand over paths while static objects go away.
CResumeTable &resume_table() {
    alignas(CResumeTable) static unsigned char storage[sizeof(CResumeTable)];
    static CResumeTable *const table = new (storage) CResumeTable();
    return *table;
}

}  // namespace

bool rdtp_resume_allowed(uint32_t source) {
    CResumeTable &t = resume_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.limiter.Allowed(source, get_tick_count());
}

void rdtp_resume_failed(uint32_t source) {
    bool spent;
    {
        CResumeTable &t = resume_table();
        std::lock_guard<std::mutex> guard(t.mutex);
        spent = t.limiter.Failed(source, get_tick_count());
    }
    if (spent) {
        qrn_trace_text("rdtp_resume_failed, too many failed resumptions, refusing them from source for a while, "
                       "(source, failures)=",
                       source, kResumeFailBurst);
    }
}

int rdtp_debug::resume_indebted_sources() {
    CResumeTable &t = resume_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.limiter.Indebted(get_tick_count());
}

void rdtp_debug::forget_resume_failures() {
    CResumeTable &t = resume_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    t.limiter.Clear();
}
