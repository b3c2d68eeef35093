// Admission of connect requests: a keyed table of accepted connections and the half-open
// bounds. Half-open connections are numbered in the order they came, so that the oldest one,
// of a source or of all, is found without a walk.
#include "udprlb/udprlb_admission.h"

#include <map>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>

#include "platform/random.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_defs.h"

using namespace urlb;

namespace {

// Keys come from the wire: a hash keyed with a secret keeps a sender from choosing keys that
// all land in one bucket.
uint64_t Mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

struct CKeyHash {
    uint64_t secret[2];
    size_t operator()(const CUdpRlbPeerKey &k) const {
        const uint64_t address = (static_cast<uint64_t>(k.ip) << 16) | k.port;
        const uint64_t session = (static_cast<uint64_t>(k.app_id) << 16) | k.tag;
        return static_cast<size_t>(Mix(address ^ secret[0]) ^ Mix(session ^ secret[1]));
    }
};

struct CKeyEqual {
    bool operator()(const CUdpRlbPeerKey &a, const CUdpRlbPeerKey &b) const {
        return a.ip == b.ip && a.port == b.port && a.app_id == b.app_id && a.tag == b.tag;
    }
};

struct CEntry {
    CUdpRlbPeerKey key;
    uint64_t serial;  // order of arrival while half-open; 0 once established
    uint32_t added;   // tick of arrival
};

constexpr uint64_t kEstablished = 0;

class CAdmission {
public:
    CAdmission() : m_by_key(0, MakeHash()) {}

    int Find(const CUdpRlbPeerKey &key) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_by_key.find(key);
        return it == m_by_key.end() ? 0 : it->second;
    }

    bool MakeRoom(uint32_t ip, uint32_t now, std::vector<int> *victims) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto source = m_by_source.find(ip);
        if (source != m_by_source.end() && static_cast<int>(source->second.size()) >= kMaxHalfOpenPerSource) {
            // Real clients behind one address may all dial at once; their answers come within a
            // round trip, so only an entry older than that is taken for a forgery.
            const uint64_t oldest = *source->second.begin();
            if (calc_tick_diff(m_entries[m_half_open[oldest]].added, now) < kHalfOpenGrace) return false;
            victims->push_back(TakeHalfOpen(oldest));
        }
        if (static_cast<int>(m_half_open.size()) >= kMaxHalfOpen) {
            victims->push_back(TakeHalfOpen(m_half_open.begin()->first));
        }
        return true;
    }

    void Add(const CUdpRlbPeerKey &key, int handle, uint32_t now) {
        std::lock_guard<std::mutex> guard(m_mutex);
        Forget(handle);
        const uint64_t serial = ++m_serial;
        m_by_key[key] = handle;
        m_entries[handle] = CEntry{key, serial, now};
        m_half_open[serial] = handle;
        m_by_source[key.ip].insert(serial);
    }

    bool Establish(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_entries.find(handle);
        if (it == m_entries.end()) return false;
        if (it->second.serial != kEstablished) {
            DropHalfOpen(it->second);
            it->second.serial = kEstablished;
        }
        return true;
    }

    void Remove(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        Forget(handle);
    }

    int HalfOpen() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(m_half_open.size());
    }

    int HalfOpenFrom(uint32_t ip) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_by_source.find(ip);
        return it == m_by_source.end() ? 0 : static_cast<int>(it->second.size());
    }

private:
    static CKeyHash MakeHash() {
        CKeyHash hash{};
        if (!ws::GenRandom(hash.secret, sizeof(hash.secret))) QRN_TRACE_ERROR("no random hash key");
        return hash;
    }

    // The half-open connection of serial, taken out of every table; its handle.
    int TakeHalfOpen(uint64_t serial) {
        const int handle = m_half_open[serial];
        Forget(handle);
        return handle;
    }

    void DropHalfOpen(const CEntry &entry) {
        m_half_open.erase(entry.serial);
        auto source = m_by_source.find(entry.key.ip);
        if (source == m_by_source.end()) return;
        source->second.erase(entry.serial);
        if (source->second.empty()) m_by_source.erase(source);
    }

    void Forget(int handle) {
        auto it = m_entries.find(handle);
        if (it == m_entries.end()) return;
        if (it->second.serial != kEstablished) DropHalfOpen(it->second);
        auto key = m_by_key.find(it->second.key);
        if (key != m_by_key.end() && key->second == handle) m_by_key.erase(key);
        m_entries.erase(it);
    }

    std::mutex m_mutex;
    std::unordered_map<CUdpRlbPeerKey, int, CKeyHash, CKeyEqual> m_by_key;
    std::unordered_map<int, CEntry> m_entries;
    std::map<uint64_t, int> m_half_open;                     // serial to handle, oldest first
    std::unordered_map<uint32_t, std::set<uint64_t>> m_by_source;  // at most kMaxHalfOpen sources
    uint64_t m_serial = 0;
};

// Never destroyed: the socket thread and the timer may still call in while statics go away.
CAdmission &Admission() {
    alignas(CAdmission) static unsigned char storage[sizeof(CAdmission)];
    static CAdmission *const admission = new (storage) CAdmission();
    return *admission;
}

}  // namespace

int udprlb_admission_find(const CUdpRlbPeerKey &key) { return Admission().Find(key); }

bool udprlb_admission_make_room(uint32_t ip, std::vector<int> *victims) {
    return Admission().MakeRoom(ip, get_tick_count(), victims);
}

void udprlb_admission_add(const CUdpRlbPeerKey &key, int handle) { Admission().Add(key, handle, get_tick_count()); }

bool udprlb_admission_establish(int handle) { return Admission().Establish(handle); }

void udprlb_admission_remove(int handle) { Admission().Remove(handle); }

int udprlb_admission_half_open() { return Admission().HalfOpen(); }

int udprlb_admission_half_open_from(uint32_t ip) { return Admission().HalfOpenFrom(ip); }
