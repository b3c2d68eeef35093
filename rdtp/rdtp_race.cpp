// CRdtpConnection: a client given an HTTP port beside a UDP or TCP port races its kinds of path,
// reliable UDP first, then TCP, then the tunnel, each started a stagger after the one before
// (at once when every earlier one has failed). The first whose connect completes carries the
// connection; the others are closed before they send a request, so that the server drops their
// half-open objects at once. Every reconnection runs the same race, and the server resumes the
// logical connection on whichever kind arrives.
#include <algorithm>
#include <atomic>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_connect_errors.h"
#include "rdtp/rdtp_connection.h"
#include "rdtp/rdtp_module.h"

using namespace rdtp;

static_assert(kFromUdp == kModeUdp && kFromTcp == kModeTcp && kFromHttp == kModeHttp,
              "a single kind's mode is its from");

namespace {

std::atomic<uint32_t> g_race_stagger{kRaceStaggerDefaultMs};

}  // namespace

bool rdtp_ports_race(int udp_port, int tcpip_port, int http_port) {
    return http_port != 0 && (udp_port != 0 || tcpip_port != 0);
}

uint32_t rdtp_race_stagger() { return g_race_stagger.load(std::memory_order_relaxed); }

int rdtp_set_race_stagger(uintptr_t ms) {
    if (ms > kRaceStaggerMaxMs) return kErrRefused;
    g_race_stagger.store(static_cast<uint32_t>(ms), std::memory_order_relaxed);
    return 0;
}

// The timer of a race, keyed by the connection's handle. Only this callback stops it: a
// connection that no longer races (or exists) lets it stop here, never from another thread,
// which would wait for this callback while holding the lock it takes.
int qrn_rdtp_race_callback(uintptr_t user, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    CQrnRefHolder<CRdtpConnection> conn(GetRdtpConnection(static_cast<int>(user)));
    if (!conn) {
        qrn_timer_kill(&qrn_rdtp_race_callback, user);
        return 0;
    }
    conn->OnRaceTimer();
    return 0;
}

void CRdtpConnection::OnRaceTimer() {
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        const bool more = !Inactive() && m_state == kStateRacing && AdvanceRace(after);
        // Under the lock, so that a race started meanwhile has set it again after this.
        if (!more) qrn_timer_kill(&qrn_rdtp_race_callback, static_cast<uintptr_t>(m_local_handle));
    }
    Finish(after);
}

// --- m_lock held -----------------------------------------------------------------------------

int CRdtpConnection::StartRace() {
    SetState(kStateRacing);
    CloseAllPaths();
    m_race_next = 0;
    m_race_end = m_race_count;
    if (m_serv_tag != 0 && !m_race_any_kind) {
        while (m_race_next + 1 < m_race_count && m_race_kinds[m_race_next] != m_conn_mode) ++m_race_next;
        m_race_end = m_race_next + 1;
    }
    bool started = StartNextKind();
    if (m_race_stagger == 0) {
        while (StartNextKind()) started = true;
    }
    if (started) ArmRaceTimer();
    return started || HasPath() ? kConnectStarted : kConnectFailed;
}

// Starts the next kind of the race that starts at all; false when none is left.
bool CRdtpConnection::StartNextKind() {
    while (m_race_next < m_race_end) {
        const int from = m_race_kinds[m_race_next++];
        qrn_trace_text("CRdtpConnection::StartNextKind, (local_handle, from)=", m_local_handle, from);
        if (StartPath(from)) {
            m_race_tick = get_tick_count();
            return true;
        }
    }
    return false;
}

// The next kind once its stagger has passed; true while kinds are left to start.
bool CRdtpConnection::AdvanceRace(CRdtpAftermath &after) {
    if (m_race_next >= m_race_end) return false;
    if (calc_tick_diff(m_race_tick, get_tick_count()) < m_race_stagger) return true;
    if (!StartNextKind() && !HasPath()) {
        LoseRace(after);
        return false;
    }
    return m_race_next < m_race_end;
}

void CRdtpConnection::ArmRaceTimer() {
    if (m_race_stagger == 0 || m_race_next >= m_race_end) return;
    // Ticks finer than the stagger keep a kind from waiting a whole extra stagger for a tick
    // that came just before its time.
    const uint32_t period = std::max(m_race_stagger / kRaceTimerDivisor, kRaceTimerMinMs);
    qrn_timer_set(&qrn_rdtp_race_callback, static_cast<uintptr_t>(m_local_handle), period);
}

// The path of kind from has connected first: the others go before they send anything.
void CRdtpConnection::WinRace(int from) {
    qrn_trace_text("CRdtpConnection::WinRace, (local_handle, from)=", m_local_handle, from);
    for (int i = 0; i < m_race_count; ++i) {
        if (m_race_kinds[i] != from) ClosePath(m_race_kinds[i]);
    }
    m_race_next = m_race_end;
    m_conn_mode = static_cast<uint8_t>(from);  // a single kind's mode is its from
}

// No kind got through: a first connect fails; a reconnection tries again after a pause.
void CRdtpConnection::LoseRace(CRdtpAftermath &after) {
    m_race_next = m_race_end;
    if (!m_bReconnecting) {
        FailFirstConnect(after);
        return;
    }
    LosePath(kNoPath, after);
}

// --- without m_lock --------------------------------------------------------------------------

void CRdtpConnection::DropPath() {
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive() || !m_race || IsServer() || m_state != kStateEstablished) return;
        const int from = DataPath(kPlainFlags);
        qrn_trace_text("CRdtpConnection::DropPath, the path no longer gets through, (local_handle, from)=",
                       m_local_handle, from);
        ClosePath(from);
        LosePath(from, after);
    }
    Finish(after);
}
