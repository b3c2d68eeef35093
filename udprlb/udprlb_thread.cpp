#include "udprlb/udprlb_thread.h"

#include <algorithm>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_defs.h"

CUdpRlbThread::~CUdpRlbThread() {
    ThreadStop();
    std::vector<CUdpRlbConnection *> left;
    {
        CQrnFuncLock guard(m_lock);
        left.swap(m_connections);
    }
    for (CUdpRlbConnection *conn : left) conn->ReleaseRef();
}

int CUdpRlbThread::OnThreadRun() {
    while (!IsStopping()) {
        qrn_sleep(urlb::kWorkerPause);
        CUdpRlbConnection *conn = NextTurn();
        if (conn == nullptr) continue;
        conn->OnThreadTick();
        conn->ReleaseRef();
    }
    return 0;
}

CUdpRlbConnection *CUdpRlbThread::NextTurn() {
    CQrnFuncLock guard(m_lock);
    if (m_index >= m_connections.size()) {
        m_index = 0;
        return nullptr;
    }
    CUdpRlbConnection *conn = m_connections[m_index++];
    conn->AddRef();
    return conn;
}

void CUdpRlbThread::AddConnection(CUdpRlbConnection *conn) {
    if (conn == nullptr) return;
    CQrnFuncLock guard(m_lock);
    if (std::find(m_connections.begin(), m_connections.end(), conn) != m_connections.end()) return;
    conn->AddRef();
    m_connections.push_back(conn);
}

void CUdpRlbThread::RemoveConnection(CUdpRlbConnection *conn) {
    if (conn == nullptr) return;
    {
        CQrnFuncLock guard(m_lock);
        auto it = std::find(m_connections.begin(), m_connections.end(), conn);
        if (it == m_connections.end()) return;
        const size_t at = static_cast<size_t>(it - m_connections.begin());
        m_connections.erase(it);
        // The connections behind it move down one place: none of them loses its turn.
        if (at < m_index) --m_index;
    }
    // Outside the lock: the last reference runs the destructor, which removes again.
    conn->ReleaseRef();
}

int CUdpRlbThread::ConnectionCount() {
    CQrnFuncLock guard(m_lock);
    return static_cast<int>(m_connections.size());
}
