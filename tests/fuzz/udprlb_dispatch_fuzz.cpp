// libFuzzer target for the reliable-UDP datagram dispatcher.
//
// The layer runs once for the whole process: one listening socket and four live connections
// (ETarget in udprlb_fuzz_input.h) whose peers and relay are plain loopback sockets of this
// program. Each input is handed to udprlb_dispatch_datagram on the fuzzer's thread, as the
// socket thread hands over a datagram that it read. The harness can make len and the CRC right
// and write a target's real app ids and session tags into the payload, so that inputs get past
// the checks to the payload decoders and the per-connection handlers. A target that an input
// ended or moved on (closed, connected, refused) is opened again before the next input, and
// connections that an input's connect request created are closed after it.
//
// Every datagram that the layer sends goes to this program's sockets: dig hole PDUs, which
// name the address they are forwarded to, get one of those addresses written in.
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "qrnlibl/qrn_bytestream.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_module.h"
#include "udprlb/udprlb_pdu.h"
#include "udprlb_fuzz_input.h"

namespace {

using namespace urlbfuzz;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLoopbackIp = 0x7f000001;
constexpr const char *kLoopbackText = "127.0.0.1";
constexpr int kAwaitMs = 5000;
constexpr int kPollStepMs = 20;
constexpr int kListenTries = 20;
constexpr uintptr_t kListenId = 0;
constexpr uintptr_t kNoSuchListenId = 1;
constexpr int kRecvChunk = 65536;

// The payload offsets of the identity fields (dst, src, dst tag, src tag) and of the address
// that dig hole PDUs carry.
constexpr int kOffDst = urlb::kOffPayload;
constexpr int kOffSrc = kOffDst + urlb::kU16Size;
constexpr int kOffDstTag = kOffSrc + urlb::kU16Size;
constexpr int kOffSrcTag = kOffDstTag + urlb::kU16Size;
constexpr int kOffDigIp = urlb::kOffPayload + urlb::kU16Size;
constexpr int kOffDigPort = kOffDigIp + urlb::kU32Size;
// Data reliable: ids, seq, ack, then the selective entries; unreliable ACK: ids, seq.
constexpr int kOffSeq = urlb::kOffPayload + urlb::kIdsSize;
constexpr int kOffAck = kOffSeq + urlb::kU32Size;
constexpr int kOffSackEntries = urlb::kOffPayload + urlb::kDataReliableFixedSize;
constexpr int kOffSackOffset = urlb::kU8Size;  // within an entry, after its marker
constexpr int kOffUnreliableAckSeq = urlb::kOffPayload + urlb::kIdsSize;
// Connect response: dst, result, src, window, src tag.
constexpr int kOffResponseSrc = kOffDst + 2 * urlb::kU16Size;
constexpr int kOffResponseTag = kOffResponseSrc + urlb::kU16Size + urlb::kU32Size;

const uint8_t kExpectedState[kTargetCount] = {urlb::kStateConnected, urlb::kStateConnected,
                                              urlb::kStateConnecting, urlb::kStateDigging};

[[noreturn]] void Fatal(const char *what) {
    fprintf(stderr, "udprlb_dispatch_fuzz: setup failed: %s\n", what);
    abort();
}

// One plain UDP socket on 127.0.0.1 that plays a peer or the relay.
class CRawPeer {
public:
    CRawPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(kLoopbackIp);
        socklen_t len = sizeof(a);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            Fatal("raw peer socket");
        m_port = ntohs(a.sin_port);
        m_address.sin_family = AF_INET;
        m_address.sin_port = ws::hton16(m_port);
        m_address.sin_addr.s_addr = ws::hton32(kLoopbackIp);
    }
    ~CRawPeer() { close(m_fd); }
    CRawPeer(const CRawPeer &) = delete;
    CRawPeer &operator=(const CRawPeer &) = delete;

    uint16_t port() const { return m_port; }
    const ws::sockaddr_in *address() const { return &m_address; }

    void SendTo(uint16_t port, const uint8_t *data, int len) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(kLoopbackIp);
        if (sendto(m_fd, data, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr *>(&to),
                   sizeof(to)) != len)
            Fatal("raw peer send");
    }

    void Drain() const {
        ReadAll([](uint8_t, const uint8_t *, int) {});
    }

    // Hands every valid PDU waiting on the socket to take(type, payload, len).
    template <class Take>
    void ReadAll(Take take) const {
        uint8_t buf[urlb::kMaxDatagram];
        ssize_t n;
        while ((n = recv(m_fd, buf, sizeof(buf), 0)) >= 0) {
            CUdpRlbHeader header;
            if (udprlb_pdu_check(buf, static_cast<int>(n), &header) == EUdpRlbCheck::kValid)
                take(header.pdu_type, buf + urlb::kOffPayload, static_cast<int>(header.len));
        }
    }

    // Waits for a valid PDU of this type whose first payload field is first (any when first
    // is negative); its payload goes to payload.
    bool Await(uint8_t type, int first, std::vector<uint8_t> *payload) const {
        auto deadline = Clock::now() + std::chrono::milliseconds(kAwaitMs);
        uint8_t buf[urlb::kMaxDatagram];
        while (Clock::now() < deadline) {
            ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
            if (n < 0) {
                pollfd p{m_fd, POLLIN, 0};
                poll(&p, 1, kPollStepMs);
                continue;
            }
            CUdpRlbHeader header;
            int size = static_cast<int>(n);
            if (udprlb_pdu_check(buf, size, &header) != EUdpRlbCheck::kValid ||
                header.pdu_type != type)
                continue;
            uint16_t field = 0;
            if (first >= 0 && (!CQrnByteStream::ReadUShort(buf, size, urlb::kOffPayload, field) ||
                               field != first))
                continue;
            payload->assign(buf + urlb::kOffPayload, buf + size);
            return true;
        }
        return false;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    ws::sockaddr_in m_address{};
};

// The connections that the layer accepted (event 1), to be closed unless they are a target.
class CEventLog {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *self = reinterpret_cast<CEventLog *>(user);
        int h = static_cast<int>(handle);
        if (msg == urlb::kEventAccepted) {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_accepted.push_back(h);
        } else if (msg == urlb::kEventData && p2 == urlb::kDataUnreliable) {
            self->Touch(reinterpret_cast<const uint8_t *>(p3), static_cast<int>(p1));
        } else if (msg == urlb::kEventData) {
            // Read inside the event, as the layer above does.
            std::vector<uint8_t> buf(kRecvChunk);
            while (qrn_udprlb_recv(h, buf.data(), kRecvChunk, 0) > 0) {
            }
        }
        return 0;
    }

    uintptr_t context() { return reinterpret_cast<uintptr_t>(this); }

    std::vector<int> TakeAccepted() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<int> out;
        out.swap(m_accepted);
        return out;
    }

    // Waits for event 1 of handle and takes it out of the list.
    bool AwaitAccepted(int handle) {
        auto deadline = Clock::now() + std::chrono::milliseconds(kAwaitMs);
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto it = std::find(m_accepted.begin(), m_accepted.end(), handle);
                if (it != m_accepted.end()) {
                    m_accepted.erase(it);
                    return true;
                }
            }
            poll(nullptr, 0, 1);
        }
        return false;
    }

private:
    // Reads every byte of an unreliable packet, so that a bad pointer or length shows.
    void Touch(const uint8_t *data, int len) {
        uint8_t sum = 0;
        for (int i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + data[i]);
        m_sink.store(sum, std::memory_order_relaxed);
    }

    std::mutex m_mutex;
    std::vector<int> m_accepted;
    std::atomic<uint8_t> m_sink{0};
};

// The stream positions of a target, as its PDUs to its peer tell them. A new connection has
// sent nothing and expects offset 0.
struct CSeen {
    uint32_t next_seq = 0;  // the target's next new byte
    uint32_t expects = 0;   // the peer's next byte that the target expects (its ack)
    uint16_t unreliable_seq = 0;
};

struct CTarget {
    CUdpRlbConnection *conn = nullptr;  // one reference of the harness's own
    int handle = 0;
    uint16_t tag = 0;  // the layer's session tag of this connection; 0 while unknown
    CSeen seen;
};

// Moves position to candidate when candidate is later (stream offsets wrap).
template <class T>
void Advance(T *position, T candidate) {
    using Signed = typename std::make_signed<T>::type;
    if (static_cast<Signed>(static_cast<T>(candidate - *position)) > 0) *position = candidate;
}

// A datagram of kind type with payload built by the encoder of its PDU.
template <class Pdu, class Writer>
std::vector<uint8_t> Datagram(uint8_t type, const Pdu &pdu, Writer write) {
    std::vector<uint8_t> buf(urlb::kMaxDatagram);
    int len = write(pdu, buf.data() + urlb::kOffPayload, urlb::kMaxPayload);
    int size = len < 0 ? 0 : udprlb_pdu_finish(buf.data(), urlb::kMaxDatagram, type, len);
    if (size <= 0) Fatal("encoding a handshake PDU");
    buf.resize(static_cast<size_t>(size));
    return buf;
}

class CHarness {
public:
    CHarness() {
        Listen();
        for (int t = 0; t < kTargetCount; ++t) Open(static_cast<ETarget>(t));
    }

    void Run(const uint8_t *input, size_t size) {
        if (size < static_cast<size_t>(kControlSize)) return;
        uint8_t control = input[kOffControl];
        uint8_t amount = input[kOffAmount];
        auto target = static_cast<ETarget>((control >> kTargetShift) & kTargetMask);
        int len = static_cast<int>(std::min<size_t>(size - kControlSize, urlb::kMaxDatagram));
        // An allocation of exactly the datagram's size, so that any read past it shows.
        std::unique_ptr<uint8_t[]> datagram(new uint8_t[static_cast<size_t>(std::max(len, 1))]);
        std::copy(input + kControlSize, input + kControlSize + len, datagram.get());

        for (int t = 0; t < kTargetCount; ++t) Keep(static_cast<ETarget>(t));
        Prime(target, control, amount);
        Observe();
        Prepare(datagram.get(), len, control, input[kOffRelative], target);

        int socket = target == kTargetAccepted ? m_listen_socket : m_shared_socket;
        if (control & kOtherSocket) socket = socket == m_listen_socket ? m_shared_socket : m_listen_socket;
        uintptr_t listen_id = (control & kUnknownListener) ? kNoSuchListenId : kListenId;
        udprlb_dispatch_datagram(socket, listen_id, datagram.get(), len,
                                 m_peers[PeerOf(target)].address());

        for (int h : m_events.TakeAccepted()) qrn_udprlb_close(h);
        Observe();
    }

private:
    // Peers: the accepted target's, the calling target's, the connecting and digging targets'
    // destination, and the digging target's relay.
    enum EPeer { kPeerAccepted, kPeerCalling, kPeerDestination, kPeerRelay, kPeerCount };

    static int PeerOf(ETarget target) {
        switch (target) {
        case kTargetAccepted: return kPeerAccepted;
        case kTargetCalling: return kPeerCalling;
        case kTargetConnecting: return kPeerDestination;
        case kTargetDigging: return kPeerRelay;
        }
        return kPeerAccepted;
    }

    void Listen() {
        for (int i = 0; i < kListenTries; ++i) {
            uint16_t port = CRawPeer().port();  // free a moment ago
            if (qrn_udprlb_listen(kLoopbackText, port, &CEventLog::Callback, m_events.context()) == 0) {
                m_listen_port = port;
                return;
            }
        }
        Fatal("qrn_udprlb_listen");
    }

    // Keeps a target as the inputs expect it: registered, in its state; else opens it anew.
    void Keep(ETarget t) {
        CTarget &target = m_targets[t];
        CUdpRlbConnection *now = GetUdpRlbConnection(target.handle);
        bool registered = now != nullptr && now == target.conn;
        if (now) now->ReleaseRef();
        if (registered && target.conn->state() == kExpectedState[t]) return;
        if (registered) qrn_udprlb_close(target.handle);
        target.conn->ReleaseRef();
        target = CTarget();
        Open(t);
    }

    void Open(ETarget t) {
        switch (t) {
        case kTargetAccepted: OpenAccepted(); break;
        case kTargetCalling: OpenCalling(); break;
        case kTargetConnecting: OpenConnecting(); break;
        case kTargetDigging: OpenDigging(); break;
        }
        CTarget &target = m_targets[t];
        target.conn = GetUdpRlbConnection(target.handle);
        if (!target.conn || target.conn->state() != kExpectedState[t]) Fatal("a target is not in its state");
    }

    void OpenAccepted() {
        const CRawPeer &peer = m_peers[kPeerAccepted];
        CUdpRlbConnectRequest request;
        request.src = kPeerAppId[kTargetAccepted];
        request.src_tag = kPeerTag[kTargetAccepted];
        auto datagram = Datagram(urlb::kPduConnectRequest, request, udprlb_pdu_write_connect_request);
        peer.Drain();
        // The first request travels for real, which tells the listening socket's handle.
        if (m_listen_socket == 0) peer.SendTo(m_listen_port, datagram.data(), static_cast<int>(datagram.size()));
        else udprlb_dispatch_datagram(m_listen_socket, kListenId, datagram.data(),
                                      static_cast<int>(datagram.size()), peer.address());
        std::vector<uint8_t> payload;
        CUdpRlbConnectResponse response;
        if (!peer.Await(urlb::kPduConnectResponse, request.src, &payload) ||
            !udprlb_pdu_read_connect_response(payload.data(), static_cast<int>(payload.size()), &response) ||
            response.result != urlb::kConnectAccepted)
            Fatal("the accepted target's handshake");
        // The listener's user hears of the connection once the peer carries its tag back.
        CUdpRlbDataReliable ack;
        ack.ids = CUdpRlbIds{response.src, request.src, response.src_tag, request.src_tag};
        auto established = Datagram(urlb::kPduDataReliable, ack, udprlb_pdu_write_data_reliable);
        if (m_listen_socket == 0) peer.SendTo(m_listen_port, established.data(), static_cast<int>(established.size()));
        else udprlb_dispatch_datagram(m_listen_socket, kListenId, established.data(),
                                      static_cast<int>(established.size()), peer.address());
        if (!m_events.AwaitAccepted(response.src)) Fatal("the accepted target's establishment");
        m_targets[kTargetAccepted].handle = response.src;
        m_targets[kTargetAccepted].tag = response.src_tag;
        if (m_listen_socket == 0) {
            CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(response.src));
            if (!conn.get()) Fatal("the accepted target is not registered");
            m_listen_socket = conn.get()->socket();
        }
    }

    // Starts a connect to peer (through relay when given) and reads its first PDU there.
    int StartConnect(EPeer peer, EPeer relay, uint8_t first_type, CTarget *target) {
        const CRawPeer &to = m_peers[peer];
        const CRawPeer &await = m_peers[relay == kPeerCount ? peer : relay];
        to.Drain();
        await.Drain();
        int handle = relay == kPeerCount
                         ? qrn_udprlb_connect(kLoopbackText, to.port(), nullptr, 0, &CEventLog::Callback,
                                              m_events.context())
                         : qrn_udprlb_connect(kLoopbackText, to.port(), kLoopbackText, m_peers[relay].port(),
                                              &CEventLog::Callback, m_events.context());
        std::vector<uint8_t> payload;
        if (handle <= 0 || !await.Await(first_type, handle, &payload)) Fatal("qrn_udprlb_connect");
        target->handle = handle;
        CUdpRlbConnectRequest request;
        if (first_type == urlb::kPduConnectRequest &&
            udprlb_pdu_read_connect_request(payload.data(), static_cast<int>(payload.size()), &request))
            target->tag = request.src_tag;
        if (m_shared_socket == 0) {
            CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(handle));
            if (!conn.get()) Fatal("a calling target is not registered");
            m_shared_socket = conn.get()->socket();
        }
        return handle;
    }

    void OpenCalling() {
        CTarget &target = m_targets[kTargetCalling];
        StartConnect(kPeerCalling, kPeerCount, urlb::kPduConnectRequest, &target);
        CUdpRlbConnectResponse response;
        response.dst = static_cast<uint16_t>(target.handle);
        response.src = kPeerAppId[kTargetCalling];
        response.src_tag = kPeerTag[kTargetCalling];
        auto datagram = Datagram(urlb::kPduConnectResponse, response, udprlb_pdu_write_connect_response);
        udprlb_dispatch_datagram(m_shared_socket, kListenId, datagram.data(), static_cast<int>(datagram.size()),
                                 m_peers[kPeerCalling].address());
    }

    void OpenConnecting() {
        StartConnect(kPeerDestination, kPeerCount, urlb::kPduConnectRequest, &m_targets[kTargetConnecting]);
    }

    void OpenDigging() {
        StartConnect(kPeerDestination, kPeerRelay, urlb::kPduDigHoleRequest, &m_targets[kTargetDigging]);
    }

    // Fixes the datagram up as the control byte asks. Dig hole PDUs always get one of this
    // program's addresses, so that nothing is forwarded anywhere else.
    void Prepare(uint8_t *buf, int len, uint8_t control, uint8_t relative, ETarget t) {
        if (len < urlb::kHeaderSize) return;
        uint8_t type = buf[urlb::kOffType];
        uint8_t fix = control & kFixMask;
        bool dig = type == urlb::kPduDigHoleRequest || type == urlb::kPduDigHoleForward ||
                   type == urlb::kPduDigHoleResponse2;
        if (dig && len >= urlb::kOffPayload + urlb::kDigHoleSize) {
            uint16_t port = 0;
            CQrnByteStream::ReadUShort(buf, len, kOffDigPort, port);
            CQrnByteStream::WriteULong(buf, len, kOffDigIp, kLoopbackIp);
            CQrnByteStream::WriteUShort(buf, len, kOffDigPort, m_peers[port % kPeerCount].port());
            fix = std::max(fix, kFixCheck);
        }
        if (fix >= kFixIdentity) WriteIdentity(buf, len, type, t);
        if (fix >= kFixCheck) {
            MakeRelative(buf, len, type, relative, m_targets[t].seen);
            udprlb_pdu_finish(buf, len, type, len - urlb::kHeaderSize);
        }
    }

    static void MakeRelative(uint8_t *buf, int len, uint8_t type, uint8_t relative, const CSeen &seen) {
        auto rewrite = [&](int offset, uint32_t (*shift)(const CSeen &, uint32_t)) {
            uint32_t v = 0;
            if (CQrnByteStream::ReadULong(buf, len, offset, v))
                CQrnByteStream::WriteULong(buf, len, offset, shift(seen, v));
        };
        auto from_ack = [](const CSeen &s, uint32_t v) { return s.expects + v; };
        auto back_from_next = [](const CSeen &s, uint32_t v) { return s.next_seq - v; };
        if (type == urlb::kPduDataReliable) {
            if (relative & kRelativeSeq) rewrite(kOffSeq, from_ack);
            if (relative & kRelativeAck) rewrite(kOffAck, back_from_next);
            if (!(relative & kRelativeSack)) return;
            int entry = kOffSackEntries;
            for (int i = 0; i < urlb::kMaxSackEntries && entry < len && buf[entry] == urlb::kSackEntryMarker; ++i) {
                rewrite(entry + kOffSackOffset, back_from_next);
                entry += urlb::kSackEntrySize;
            }
        } else if (type == urlb::kPduUnreliableAck && (relative & kRelativeUnreliableAck)) {
            uint16_t v = 0;
            if (CQrnByteStream::ReadUShort(buf, len, kOffUnreliableAckSeq, v))
                CQrnByteStream::WriteUShort(buf, len, kOffUnreliableAckSeq, static_cast<uint16_t>(seen.unreliable_seq - v));
        }
    }

    // Reads what the layer sent to this program's sockets, noting the targets' positions.
    void Observe() {
        for (const auto &peer : m_peers)
            peer.ReadAll([&](uint8_t type, const uint8_t *payload, int len) { Note(type, payload, len); });
    }

    void Note(uint8_t type, const uint8_t *payload, int len) {
        if (type == urlb::kPduDataReliable) {
            CUdpRlbDataReliable pdu;
            CSeen *seen = udprlb_pdu_read_data_reliable(payload, len, &pdu) ? SeenOf(pdu.ids.src) : nullptr;
            if (!seen) return;
            Advance(&seen->next_seq, pdu.seq + static_cast<uint32_t>(pdu.data_len));
            Advance(&seen->expects, pdu.ack);
        } else if (type == urlb::kPduDataUnreliable) {
            CUdpRlbDataUnreliable pdu;
            CSeen *seen = udprlb_pdu_read_data_unreliable(payload, len, &pdu) ? SeenOf(pdu.ids.src) : nullptr;
            if (seen && pdu.attempt == urlb::kAttemptFirst) seen->unreliable_seq = pdu.seq;
        }
    }

    CSeen *SeenOf(uint16_t handle) {
        for (auto &target : m_targets)
            if (target.handle == handle) return &target.seen;
        return nullptr;
    }

    void WriteIdentity(uint8_t *buf, int len, uint8_t type, ETarget t) {
        const CTarget &target = m_targets[t];
        auto put = [&](int offset, uint16_t v) { CQrnByteStream::WriteUShort(buf, len, offset, v); };
        // A connect request opens with the requester's own app id; every other PDU with the
        // receiver's.
        put(kOffDst, type == urlb::kPduConnectRequest ? kPeerAppId[t] : static_cast<uint16_t>(target.handle));
        switch (type) {
        case urlb::kPduDataReliable:
        case urlb::kPduDataUnreliable:
        case urlb::kPduCloseRequest:
        case urlb::kPduUnreliableAck:
            put(kOffSrc, kPeerAppId[t]);
            put(kOffDstTag, target.tag);
            put(kOffSrcTag, kPeerTag[t]);
            break;
        case urlb::kPduKeepAlive:
        case urlb::kPduLostPacketReport:
            put(kOffSrc, kPeerAppId[t]);
            break;
        case urlb::kPduConnectResponse:
            put(kOffResponseSrc, kPeerAppId[t]);
            put(kOffResponseTag, kPeerTag[t]);
            break;
        default:
            break;
        }
    }

    // The target sends first, so that acknowledgements and unreliable ACKs find something.
    void Prime(ETarget t, uint8_t control, uint8_t amount) {
        if (amount == 0) return;
        static const std::vector<uint8_t> bytes(static_cast<size_t>(UINT8_MAX) * kPrimeReliableUnit, 0x5a);
        int handle = m_targets[t].handle;
        if (control & kPrimeReliable) qrn_udprlb_send(handle, bytes.data(), amount * kPrimeReliableUnit, 0);
        if (control & kPrimeUnreliable) qrn_udprlb_send(handle, bytes.data(), amount, urlb::kSendUnreliableFlag);
    }

    CEventLog m_events;
    CRawPeer m_peers[kPeerCount];
    CTarget m_targets[kTargetCount];
    uint16_t m_listen_port = 0;
    int m_listen_socket = 0;  // the layer's handle of the listening socket
    int m_shared_socket = 0;  // of the socket that the layer's own connects use
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Never destroyed: the layer's threads run until the process ends.
    static CHarness *harness = new CHarness;
    harness->Run(data, size);
    return 0;
}
