// A stranger who knows what the server told it about its own connection cannot take over
// anyone else's: tags are random, a resumption must name the tags of one connection and
// advance its ordinal, and the resume handshake refuses counters that no real peer holds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>
#include <thread>

#include "rdtp/rdtp_debug.h"
#include "tcp_relay.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

class TpIdentity : public TpTest {
protected:
    // A stranger's resumption request on a new path: refused means 13 zero bytes and the close.
    static bool Refused(uint16_t port, uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal) {
        auto raw = CRawPeer::Connect(port);
        if (!raw) return false;
        raw->Send(RdtpPdu(serv_tag, cli_tag, conn_id, ordinal));
        return raw->Recv(rdtp::kPduSize) == Bytes(rdtp::kPduSize, 0) && raw->SeesClose();
    }

    // A raw client's first path, through the resume handshake and the connect records.
    static std::unique_ptr<CRawPeer> OpenRawClient(uint16_t port, CRawSession *session) {
        auto raw = RawDial(port, session);
        if (!raw) return nullptr;
        const Bytes record = ConnReqBytes(tp::kConnVersion2);
        raw->SendResumeReq(tp::kFirstSeq, tp::kFirstSeq, static_cast<uint32_t>(record.size()));
        EXPECT_EQ(tp::kResumeAccepted, raw->RecvResumeResp().result);
        raw->SendPdu(tp::kPduData, record);
        tp::CTpPduHeader header;
        Bytes body;
        EXPECT_TRUE(raw->RecvPdu(&header, &body));
        return raw;
    }
};

// The attack of a client that connected once: its own tags say where the victim's are, if
// they are handed out in sequence. Every neighbouring guess, and a replay of the victim's own
// tags with an ordinal that does not advance, is refused; the victim's stream goes on whole
// and its own resumption after a lost path still works.
TEST_F(TpIdentity, NeighbouringAndStaleTagsAreRefusedWhileTheVictimStreamGoesOnAndResumes) {
    CApp &server = NewApp();
    CApp &victim = NewApp();
    const uint16_t port = Listen(server);
    qrntest::CTcpRelay relay(port);
    ASSERT_NE(0, relay.Port());
    int vc = 0;
    int vs = 0;
    Establish(victim, server, relay.Port(), &vc, &vs);
    const Bytes before = Pattern(5000, 7);
    ASSERT_EQ(before.size(), WriteAll(victim, vc, before));
    ASSERT_TRUE(server.WaitStream(vs, before.size()));

    CRawSession own;
    auto attacker = OpenRawClient(port, &own);
    ASSERT_TRUE(attacker);
    ASSERT_NE(0u, own.serv_tag);
    ASSERT_NE(0u, own.cli_tag);
    EXPECT_NE(static_cast<uint32_t>(::getpid()), own.serv_tag);
    CRawSession second;
    auto other = OpenRawClient(port, &second);
    ASSERT_TRUE(other);
    EXPECT_EQ(own.serv_tag, second.serv_tag);  // one server tag, so clients can come back
    EXPECT_NE(own.cli_tag + 1, second.cli_tag);
    EXPECT_NE(own.cli_tag, second.cli_tag);

    int tried = 0;
    for (int d_id = -4; d_id <= 4; ++d_id) {
        for (uint32_t cli_tag : {own.cli_tag - 2, own.cli_tag - 1, own.cli_tag + 1, own.cli_tag + 2, 1u, 2u}) {
            const auto conn_id = static_cast<uint16_t>(own.conn_id + d_id);
            if (conn_id == second.conn_id && cli_tag == second.cli_tag) continue;
            EXPECT_TRUE(Refused(port, own.serv_tag, cli_tag, conn_id, 1)) << conn_id << " " << cli_tag;
            ++tried;
        }
    }
    EXPECT_GT(tried, 40);
    // A replay of real tags (every live object's, the victim's among them) that does not
    // advance the ordinal: what a stranger who once saw a connect PDU would send.
    for (int h : rdtp_debug::handles()) {
        const auto tag = static_cast<uint32_t>(rdtp_debug::client_tag(h));
        if (tag == 0 || tag == own.cli_tag || tag == second.cli_tag) continue;
        EXPECT_TRUE(Refused(port, own.serv_tag, tag, static_cast<uint16_t>(h), 0)) << h;
    }
    // The attacker's own connection resumes only with its own tags and the next ordinal.
    attacker->Close();
    own.ordinal = 1;
    auto back = RawDial(port, &own);
    ASSERT_TRUE(back);

    const Bytes after = Pattern(70000, 9);
    ASSERT_EQ(after.size(), WriteAll(victim, vc, after));
    ASSERT_EQ(after.size(), WriteAll(server, vs, after));
    ASSERT_EQ(1, relay.CutBothSides());
    const Bytes resumed = Pattern(40000, 11);
    ASSERT_EQ(resumed.size(), WriteAll(victim, vc, resumed));
    ASSERT_EQ(resumed.size(), WriteAll(server, vs, resumed));

    Bytes to_server = before;
    to_server.insert(to_server.end(), after.begin(), after.end());
    to_server.insert(to_server.end(), resumed.begin(), resumed.end());
    Bytes to_victim = after;
    to_victim.insert(to_victim.end(), resumed.begin(), resumed.end());
    ASSERT_TRUE(server.WaitStream(vs, to_server.size()));
    ASSERT_TRUE(victim.WaitStream(vc, to_victim.size()));
    EXPECT_EQ(to_server, server.Stream(vs));
    EXPECT_EQ(to_victim, victim.Stream(vc));
    EXPECT_EQ(2, relay.Accepted());
    EXPECT_EQ(0, victim.Count(QRN_TP_MSG_CLOSED));
    EXPECT_EQ(0, server.rec().Count(QRN_TP_MSG_CLOSED, vs));
    back->Close();
    other->Close();
}

// Counters that no real client can hold are refused like counters that would lose bytes: a
// recv_next beyond what the server ever sent, and a kept range wider than the window (which
// would make every position look kept). A consistent request of the same kind resumes.
TEST_F(TpIdentity, ResumeCountersNoPeerCouldHoldAreRefused) {
    qrntest::ClockFactor fast(50);
    CApp &server = NewApp();
    server.AnswerWith(QRN_TP_ACCEPT);
    const uint16_t port = Listen(server);
    const uint32_t record = static_cast<uint32_t>(ConnReqBytes(tp::kConnVersion2).size());
    const uint32_t accept_record = tp::kConnRespFixedSize;
    const Bytes data = Pattern(1000, 3);

    struct Case {
        uint32_t recv_next, send_base, send_kept;
        bool accepted;
    };
    const uint32_t sent_by_server = tp::kFirstSeq + accept_record + static_cast<uint32_t>(data.size());
    const uint32_t next_from_client = tp::kFirstSeq + record;
    const Case cases[] = {
        {sent_by_server + 1, tp::kFirstSeq, record, false},                     // beyond what was sent
        {sent_by_server, next_from_client - 5, 0xffffffffu, false},             // wider than the window
        {sent_by_server, next_from_client - 5, tp::kSendKeepMax + 1u, false},   // one past the window
        {sent_by_server - 100, tp::kFirstSeq, record, true},                    // lost 100, kept all
    };
    int opened = 0;
    for (const Case &c : cases) {
        CRawSession session;
        auto raw = OpenRawClient(port, &session);
        ASSERT_TRUE(raw);
        ASSERT_TRUE(server.rec().WaitForCount(QRN_TP_MSG_CONNECT_REQUEST, ++opened));
        int sh = 0;
        for (const Event &e : server.rec().Events()) {
            if (e.msg == QRN_TP_MSG_CONNECT_REQUEST) sh = static_cast<int>(e.handle);
        }
        Track(sh);
        ASSERT_EQ(data.size(), WriteAll(server, sh, data));
        EXPECT_EQ(data.size(), raw->RecvStream(data.size()).size());
        raw->Close();
        session.ordinal = 1;
        auto again = RawDial(port, &session);
        ASSERT_TRUE(again);
        again->SendResumeReq(c.recv_next, c.send_base, c.send_kept);
        const tp::CTpResumeResp resp = again->RecvResumeResp();
        if (c.accepted) {
            EXPECT_EQ(tp::kResumeAccepted, resp.result);
            EXPECT_EQ(next_from_client, resp.recv_next);
            EXPECT_EQ(100u, again->RecvStream(100).size());  // only what the client lacks
        } else {
            EXPECT_EQ(tp::kResumeRefused, resp.result) << c.recv_next << " " << c.send_kept;
            EXPECT_EQ(0u, resp.recv_next);
            EXPECT_TRUE(again->SeesClose());
            // The server ends by its receive time-out, as for any refused resumption.
            EXPECT_TRUE(WaitUntil([&] { return server.rec().Count(QRN_TP_MSG_CLOSED, sh) == 1; }));
        }
    }
}

}  // namespace
}  // namespace tptest
