// Failed resumptions per source address. A resumption names a connection by its handle, the
// server's tag (known to anyone who connected once) and a 32-bit client tag, so a peer that
// may try without end would in time hit a real client's tag and take over its connection.
// Each source gets a small budget of failures that refills slowly; once it is spent, that
// source's resumptions are refused without looking them up. Other sources are not touched:
// a real client's resumption is never refused for a stranger's failures from elsewhere.
//
// The module's table has its own mutex, a leaf: nothing is taken under it.
#ifndef QRN_RDTP_RDTP_RESUME_LIMIT_H
#define QRN_RDTP_RDTP_RESUME_LIMIT_H

#include <stdint.h>

#include "rdtp/rdtp_defs.h"

// A fixed table of sources, each with the failures it still owes; no locking of its own.
class CRdtpResumeLimiter {
public:
    // True while source (host order) may still try a resumption at tick now.
    bool Allowed(uint32_t source, uint32_t now);
    // Counts a failure of source at now; true when it spends the last of the budget.
    bool Failed(uint32_t source, uint32_t now);
    // Sources that owe failures at now.
    int Indebted(uint32_t now);
    void Clear();

private:
    struct Entry {
        uint32_t source = 0;
        uint32_t since = 0;  // tick from which the next refill counts
        uint16_t owed = 0;   // 0: the slot is free
    };
    static void Refill(Entry &entry, uint32_t now);
    Entry *Find(uint32_t source, uint32_t now);
    Entry &Slot(uint32_t now);

    Entry m_entries[rdtp::kResumeFailSources];
};

// The process-wide table, on the library clock.
bool rdtp_resume_allowed(uint32_t source);
// Counts a failed resumption of source; traces when the source's budget is spent.
void rdtp_resume_failed(uint32_t source);

namespace rdtp_debug {
int resume_indebted_sources();
void forget_resume_failures();
}  // namespace rdtp_debug

#endif
