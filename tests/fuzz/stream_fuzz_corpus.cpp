// Writes the seed corpora of tp_pdu_fuzz and rdtp_connect_fuzz with the layers' own writers.
// Run once; the files are kept in the repository.
//   stream_fuzz_corpus DIR   (writes DIR/tp_pdu and DIR/rdtp_connect, which must exist)
#include <stdio.h>

#include <string>
#include <vector>

#include "qrnlibl/qrn_cirwin.h"
#include "rdtp/rdtp_pdu.h"
#include "stream_fuzz_input.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"

namespace {

using namespace streamfuzz;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCutSmall = 0x05;
constexpr uint8_t kCutLarge = 0x85;
constexpr uint32_t kLoopbackIp = 0x7f000001;
constexpr uint32_t kBufferSize = 65536;
// A type that is no closing type carries stream data like type 3.
constexpr uint8_t kOtherStreamType = 9;

bool g_failed = false;

void Put(const std::string &path, const Bytes &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fprintf(stderr, "%s: cannot write\n", path.c_str());
        g_failed = true;
    }
    if (f != nullptr) fclose(f);
}

void Append(Bytes &to, const Bytes &what) { to.insert(to.end(), what.begin(), what.end()); }

void AppendU32(Bytes &to, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) to.push_back(static_cast<uint8_t>(v >> shift));
}

Bytes Control(bool client, uint8_t cut, uint32_t send_base, uint32_t handed, uint32_t recv_next) {
    Bytes b{client ? kTpRoleClient : uint8_t{0}, cut};
    AppendU32(b, send_base);
    AppendU32(b, handed);
    AppendU32(b, recv_next);
    return b;
}

Bytes ResumeReq(uint32_t recv_next, uint32_t send_base, uint32_t send_kept) {
    Bytes b(tp::kResumeReqSize);
    tp::WriteResumeReq(b.data(), static_cast<int>(b.size()), tp::CTpResumeReq{recv_next, send_base, send_kept});
    return b;
}

Bytes ResumeResp(uint16_t result, uint32_t recv_next) {
    Bytes b(tp::kResumeRespSize);
    tp::WriteResumeResp(b.data(), static_cast<int>(b.size()), tp::CTpResumeResp{result, recv_next});
    return b;
}

// A PDU header with any body length (also one above the limit), then the body.
Bytes Pdu(uint8_t type, const Bytes &body, int claimed = -1) {
    const int len = claimed < 0 ? static_cast<int>(body.size()) : claimed;
    Bytes b{static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), type};
    Append(b, body);
    return b;
}

template <class Write>
Bytes Record(Write write) {
    qrn_cirwin *w = qrn_cirwin_create(2 * tp::kMaxRecordSize);
    write(w);
    Bytes b(static_cast<size_t>(qrn_cirwin_read_avail(w)));
    qrn_cirwin_read(w, b.data(), static_cast<int>(b.size()));
    qrn_cirwin_destroy(w);
    return b;
}

Bytes ConnReq(const std::string &data) {
    return Record([&](qrn_cirwin *w) {
        return tp::WritePduConnReq(w, tp::MakeConnReq(kBufferSize, kLoopbackIp, static_cast<int>(data.size()),
                                                      data.data()));
    });
}

Bytes ConnResp(uint16_t result, const std::string &data) {
    return Record([&](qrn_cirwin *w) {
        return tp::WritePduConnResp(w, result == tp::kConnAccepted
                                           ? tp::MakeConnAccept(kBufferSize, static_cast<int>(data.size()), data.data())
                                           : tp::MakeConnRefusal(result));
    });
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

void WriteTp(const std::string &dir) {
    const Bytes request = ConnReq("hello");
    Bytes first = Control(false, kCutSmall, 1, 0, 1);
    Append(first, ResumeReq(1, 1, static_cast<uint32_t>(request.size())));
    Append(first, Pdu(tp::kPduData, request));
    Append(first, Pdu(tp::kPduData, Text("stream bytes")));
    Append(first, Pdu(tp::kPduData, Bytes()));
    Append(first, Pdu(tp::kPduDisReq, Bytes()));
    Put(dir + "/server_first_connect", first);
    first[kTpOffCut] = kCutLarge;
    Put(dir + "/server_first_connect_large_pieces", first);

    // The record cut over two PDUs, with stream bytes behind it in the second.
    Bytes split = Control(false, kCutSmall, 1, 0, 1);
    Append(split, ResumeReq(1, 1, static_cast<uint32_t>(request.size()) + 3));
    Append(split, Pdu(kOtherStreamType, Bytes(request.begin(), request.begin() + 7)));
    Bytes rest(request.begin() + 7, request.end());
    Append(rest, Text("abc"));
    Append(split, Pdu(tp::kPduData, rest));
    Put(dir + "/server_record_over_two_pdus", split);

    Bytes resumed = Control(false, kCutSmall, 100, 500, 2000);
    Append(resumed, ResumeReq(300, 1500, 1000));
    Append(resumed, Pdu(tp::kPduData, Text("after the resumption")));
    Put(dir + "/server_resume", resumed);

    Bytes wide = Control(false, kCutSmall, 100, 500, 2000);
    Append(wide, ResumeReq(300, 1995, 0xffffffffu));
    Put(dir + "/server_resume_wide_range", wide);

    Bytes oversize = Control(false, kCutSmall, 1, 0, 1);
    Append(oversize, ResumeReq(1, 1, 0));
    Append(oversize, Pdu(tp::kPduData, Text("x"), tp::kMaxPduBody + 1));
    Put(dir + "/server_body_too_long", oversize);

    Bytes accepted = Control(true, kCutSmall, 1, static_cast<uint32_t>(request.size()), 1);
    Append(accepted, ResumeResp(tp::kResumeAccepted, 1));
    Append(accepted, Pdu(tp::kPduData, ConnResp(tp::kConnAccepted, "server data")));
    Append(accepted, Pdu(tp::kPduData, Text("stream")));
    Append(accepted, Pdu(tp::kPduSessionLeft, Bytes()));
    Put(dir + "/client_accepted", accepted);

    Bytes refused = Control(true, kCutSmall, 1, static_cast<uint32_t>(request.size()), 1);
    Append(refused, ResumeResp(tp::kResumeAccepted, 1));
    Append(refused, Pdu(tp::kPduData, ConnResp(tp::kConnRefusedVersion, "")));
    Put(dir + "/client_refused", refused);

    Bytes beyond = Control(true, kCutSmall, 1, 30, 1);
    Append(beyond, ResumeResp(tp::kResumeAccepted, 40));
    Put(dir + "/client_answer_beyond_sent", beyond);
}

Bytes ConnectPdu(uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal, uint8_t mode) {
    Bytes b(rdtp::kPduBufferSize);
    b.resize(static_cast<size_t>(rdtp_pdu_write(CRdtpConnectPdu{serv_tag, cli_tag, conn_id, ordinal, mode}, b.data(),
                                                static_cast<int>(b.size()))));
    return b;
}

void WriteRdtp(const std::string &dir) {
    Bytes first{kCutSmall};
    Append(first, ConnectPdu(0, 0, 0, 0, rdtp::kModeTcp));
    Append(first, Text("bytes of the layer above"));
    Put(dir + "/first_request", first);

    Bytes resume{kCutLarge};
    Append(resume, ConnectPdu(0x1a2b3c4d, 0x5e6f7081, 7, 3, rdtp::kModeTcpUdp));
    Append(resume, ConnectPdu(0x1a2b3c4d, 0x5e6f7081, 7, 3, rdtp::kModeUdp));
    Put(dir + "/resume_and_join", resume);

    Bytes refusal{0x33};
    Append(refusal, ConnectPdu(0, 0, 0, 0, 0));
    Append(refusal, ConnectPdu(0xffffffffu, 0xffffffffu, 0xffff, 0xffff, 0xff));
    Put(dir + "/refusal_then_extremes", refusal);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: stream_fuzz_corpus DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    WriteTp(dir + "/tp_pdu");
    WriteRdtp(dir + "/rdtp_connect");
    return g_failed ? 1 : 0;
}
