#include "rdtp/rdtp_pending.h"

#include <list>
#include <mutex>
#include <new>

#include "qrnlibl/qrn_time.h"
#include "rdtp/rdtp_defs.h"

using namespace rdtp;

namespace {

struct CPendingPath {
    int listener;
    uint32_t source;
    const CRdtpConnection *conn;
    int handle;
    uint32_t since;  // tick of its admission
};

// In the order the paths were accepted, so the first match is the oldest. The list is never
// longer than the bound of all listeners together, and a walk of it is short.
struct CPendingTable {
    std::mutex mutex;
    std::list<CPendingPath> paths;
};

// Never destroyed: the socket thread may still accept while static objects go away.
CPendingTable &pending_table() {
    alignas(CPendingTable) static unsigned char storage[sizeof(CPendingTable)];
    static CPendingTable *const table = new (storage) CPendingTable();
    return *table;
}

template <class Match>
int count_if(const std::list<CPendingPath> &paths, Match match) {
    int n = 0;
    for (const CPendingPath &p : paths) {
        if (match(p)) ++n;
    }
    return n;
}

// Takes out the oldest path that matches and returns it; when old_enough_at is given, only if
// that path has waited the grace time by then.
template <class Match>
CRdtpDisplaced take_oldest(std::list<CPendingPath> &paths, Match match, const uint32_t *old_enough_at = nullptr) {
    for (auto it = paths.begin(); it != paths.end(); ++it) {
        if (!match(*it)) continue;
        if (old_enough_at != nullptr && calc_tick_diff(it->since, *old_enough_at) < kPendingTcpGraceMs) return {};
        CRdtpDisplaced out{it->conn, it->handle};
        paths.erase(it);
        return out;
    }
    return {};
}

}  // namespace

CRdtpPendingAdmission rdtp_pending_add(int listener, uint32_t source, const CRdtpConnection *conn, int handle,
                                       uint32_t now) {
    CPendingTable &t = pending_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    auto same_source = [&](const CPendingPath &p) { return p.listener == listener && p.source == source; };
    auto same_listener = [&](const CPendingPath &p) { return p.listener == listener; };
    CRdtpPendingAdmission result;
    bool full = false;
    if (count_if(t.paths, same_source) >= kPendingTcpPerSource) {
        full = true;
        result.displaced = take_oldest(t.paths, same_source, &now);
    } else if (count_if(t.paths, same_listener) >= kPendingTcpPerListener) {
        full = true;
        result.displaced = take_oldest(t.paths, same_listener, &now);
    }
    if (full && result.displaced.conn == nullptr) {
        result.admitted = false;
        return result;
    }
    t.paths.push_back(CPendingPath{listener, source, conn, handle, now});
    return result;
}

void rdtp_pending_remove(const CRdtpConnection *conn) {
    CPendingTable &t = pending_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    take_oldest(t.paths, [conn](const CPendingPath &p) { return p.conn == conn; });
}

int rdtp_debug::pending_paths() {
    CPendingTable &t = pending_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return static_cast<int>(t.paths.size());
}

int rdtp_debug::pending_paths_from(uint32_t source) {
    CPendingTable &t = pending_table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return count_if(t.paths, [source](const CPendingPath &p) { return p.source == source; });
}
