// Writes the seed corpus of udprlb_dispatch_fuzz: one input per PDU type, and a few variants,
// built with the layer's own encoders. Run once; the files are kept in the repository.
//   udprlb_fuzz_corpus DIR
#include <stdio.h>

#include <string>
#include <vector>

#include "udprlb/udprlb_pdu.h"
#include "udprlb_fuzz_input.h"

namespace {

using namespace urlbfuzz;

constexpr uint32_t kLoopbackIp = 0x7f000001;
constexpr int kSeedData = 100;
constexpr uint8_t kPrimeAmount = 4;  // 4 * kPrimeReliableUnit reliable bytes, or a 4-byte packet
constexpr uint8_t kMissing = 11;

class CCorpusWriter {
public:
    explicit CCorpusWriter(std::string dir) : m_dir(std::move(dir)) {}

    // Writes name: the steering bytes, then the datagram whose payload encode wrote.
    template <class Encode>
    void Write(const char *name, uint8_t control, uint8_t amount, uint8_t type, Encode encode,
               uint8_t relative = 0, bool bad_crc = false) {
        std::vector<uint8_t> datagram(urlb::kMaxDatagram);
        int len = encode(datagram.data() + urlb::kOffPayload, urlb::kMaxPayload);
        int size = len < 0 ? 0 : udprlb_pdu_finish(datagram.data(), urlb::kMaxDatagram, type, len);
        if (size <= 0) {
            fprintf(stderr, "%s: does not encode\n", name);
            m_failed = true;
            return;
        }
        if (bad_crc) datagram[urlb::kOffCrc] ^= 1;
        std::string path = m_dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        uint8_t head[kControlSize] = {control, amount, relative};
        bool ok = f && fwrite(head, 1, sizeof(head), f) == sizeof(head) &&
                  fwrite(datagram.data(), 1, static_cast<size_t>(size), f) == static_cast<size_t>(size);
        if (f) ok = fclose(f) == 0 && ok;
        if (!ok) {
            fprintf(stderr, "%s: cannot write\n", path.c_str());
            m_failed = true;
        }
    }

    bool failed() const { return m_failed; }

private:
    std::string m_dir;
    bool m_failed = false;
};

CUdpRlbIds Ids() { return CUdpRlbIds{}; }  // the harness writes the real ones in

void WriteDigHole(CCorpusWriter &w) {
    CUdpRlbDigHole dig;
    dig.app_id = kPeerAppId[kTargetDigging];
    dig.ip = kLoopbackIp;
    auto encode = [&](void *out, int len) { return udprlb_pdu_write_dig_hole(dig, out, len); };
    w.Write("dig_hole_request", MakeControl(kFixCheck, kTargetAccepted), 0, urlb::kPduDigHoleRequest, encode);
    w.Write("dig_hole_response", MakeControl(kFixIdentity, kTargetDigging), 0, urlb::kPduDigHoleResponse, encode);
    w.Write("dig_hole_forward", MakeControl(kFixCheck, kTargetAccepted), 0, urlb::kPduDigHoleForward, encode);
    w.Write("dig_hole_response2", MakeControl(kFixCheck, kTargetAccepted), 0, urlb::kPduDigHoleResponse2, encode);
    w.Write("dig_hole_test", MakeControl(kFixNone, kTargetAccepted), 0, urlb::kPduDigHoleTest,
            [](void *, int) { return 0; });
}

void WriteHandshake(CCorpusWriter &w) {
    CUdpRlbConnectRequest request;
    request.src = 0x0e55;
    request.src_tag = 0x1e55;
    w.Write("connect_request", MakeControl(kFixNone, kTargetAccepted), 0, urlb::kPduConnectRequest,
            [&](void *out, int len) { return udprlb_pdu_write_connect_request(request, out, len); });
    CUdpRlbConnectRequest untagged = request;
    untagged.has_tag = false;
    w.Write("connect_request_no_tag", MakeControl(kFixNone, kTargetAccepted), 0, urlb::kPduConnectRequest,
            [&](void *out, int len) { return udprlb_pdu_write_connect_request(untagged, out, len); });
    CUdpRlbConnectResponse response;
    w.Write("connect_response", MakeControl(kFixIdentity, kTargetConnecting), 0, urlb::kPduConnectResponse,
            [&](void *out, int len) { return udprlb_pdu_write_connect_response(response, out, len); });
    CUdpRlbConnectResponse refused;
    refused.result = urlb::kConnectRefused;
    w.Write("connect_response_refused", MakeControl(kFixIdentity, kTargetConnecting), 0,
            urlb::kPduConnectResponse,
            [&](void *out, int len) { return udprlb_pdu_write_connect_response(refused, out, len); });
}

void WriteData(CCorpusWriter &w) {
    static const std::vector<uint8_t> data(kSeedData, 0x33);
    CUdpRlbDataReliable reliable;
    reliable.ids = Ids();
    reliable.sack_count = 1;
    reliable.sack[0].offset = 2 * kSeedData;
    reliable.sack[0].length = kSeedData;
    reliable.data = data.data();
    reliable.data_len = kSeedData;
    auto encode_reliable = [&](void *out, int len) { return udprlb_pdu_write_data_reliable(reliable, out, len); };
    // In order, acknowledging everything the target sent.
    w.Write("data_reliable", MakeControl(kFixIdentity, kTargetAccepted, kPrimeReliable), kPrimeAmount,
            urlb::kPduDataReliable, encode_reliable, kRelativeSeq | kRelativeAck | kRelativeSack);
    // Beyond a gap: into the reassembly buffer and the selective-ack list.
    CUdpRlbDataReliable ahead = reliable;
    ahead.seq = 2 * kSeedData;
    ahead.sack_count = 0;
    w.Write("data_reliable_out_of_order", MakeControl(kFixIdentity, kTargetCalling), 0, urlb::kPduDataReliable,
            [&](void *out, int len) { return udprlb_pdu_write_data_reliable(ahead, out, len); }, kRelativeSeq);
    w.Write("data_reliable_bad_crc", MakeControl(kFixNone, kTargetAccepted), 0, urlb::kPduDataReliable,
            encode_reliable, 0, true);
    // A pure acknowledgement of half of what the target sent.
    CUdpRlbDataReliable ack;
    ack.ids = Ids();
    ack.ack = kPrimeAmount * kPrimeReliableUnit / 2;
    w.Write("data_reliable_ack", MakeControl(kFixIdentity, kTargetCalling, kPrimeReliable), kPrimeAmount,
            urlb::kPduDataReliable,
            [&](void *out, int len) { return udprlb_pdu_write_data_reliable(ack, out, len); },
            kRelativeSeq | kRelativeAck);

    CUdpRlbDataUnreliable unreliable;
    unreliable.ids = Ids();
    unreliable.data = data.data();
    unreliable.data_len = kSeedData;
    w.Write("data_unreliable", MakeControl(kFixIdentity, kTargetCalling), 0, urlb::kPduDataUnreliable,
            [&](void *out, int len) { return udprlb_pdu_write_data_unreliable(unreliable, out, len); });
    CUdpRlbUnreliableAck uack;
    uack.ids = Ids();
    w.Write("unreliable_ack", MakeControl(kFixIdentity, kTargetAccepted, kPrimeUnreliable), kPrimeAmount,
            urlb::kPduUnreliableAck,
            [&](void *out, int len) { return udprlb_pdu_write_unreliable_ack(uack, out, len); },
            kRelativeUnreliableAck);
}

void WriteControl(CCorpusWriter &w) {
    CUdpRlbIds close = Ids();
    w.Write("close_request", MakeControl(kFixIdentity, kTargetCalling), 0, urlb::kPduCloseRequest,
            [&](void *out, int len) { return udprlb_pdu_write_close_request(close, out, len); });
    CUdpRlbKeepAlive keep;
    w.Write("keep_alive", MakeControl(kFixIdentity, kTargetAccepted), 0, urlb::kPduKeepAlive,
            [&](void *out, int len) { return udprlb_pdu_write_keep_alive(keep, out, len); });
    CUdpRlbLostReport lost;
    lost.missing = kMissing;
    w.Write("lost_packet_report", MakeControl(kFixIdentity, kTargetCalling), 0, urlb::kPduLostPacketReport,
            [&](void *out, int len) { return udprlb_pdu_write_lost_report(lost, out, len); });
    // Types 10 and 13 carry only the app id that the dispatcher reads.
    auto app_id_only = [&](void *out, int len) { return udprlb_pdu_write_keep_alive(keep, out, len); };
    w.Write("ignored_type_10", MakeControl(kFixIdentity, kTargetAccepted), 0, urlb::kPduIgnored, app_id_only);
    constexpr uint8_t kUnknownType = 13;
    w.Write("unknown_type_13", MakeControl(kFixIdentity, kTargetAccepted), 0, kUnknownType, app_id_only);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: udprlb_fuzz_corpus DIR\n");
        return 2;
    }
    CCorpusWriter w(argv[1]);
    WriteDigHole(w);
    WriteHandshake(w);
    WriteData(w);
    WriteControl(w);
    return w.failed() ? 1 : 0;
}
