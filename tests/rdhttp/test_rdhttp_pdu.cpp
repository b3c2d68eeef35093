// The tunnel's paths and bodies byte for byte, and the readers' answers to hostile replies.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "rdhttp/rdhttp_pdu.h"

namespace {

TEST(RdhttpPdu, SessionPathsAndQueriesRoundTripAndRefuseAnythingElse) {
    char path[kRdhttpMaxPath];
    EXPECT_EQ(rdhttp_pdu_session_path(rdhttp::kPathPrefix, 0xFFFFFFFF, path, sizeof(path)), 20);
    EXPECT_STREQ(path, "/s_rdhttp?4294967295");
    EXPECT_EQ(rdhttp_pdu_session_path(rdhttp::kPathPrefix, 7, path, sizeof(path)), 11);
    EXPECT_STREQ(path, "/s_rdhttp?7");
    EXPECT_EQ(rdhttp_pdu_session_path(rdhttp::kPathPrefix, 0xFFFFFFFF, path, 20), -1);
    EXPECT_STREQ(path, "");

    uint32_t id = 0;
    EXPECT_EQ(rdhttp_pdu_parse_query("BigPost", &id), ERdhttpQuery::kBigPost);
    EXPECT_EQ(rdhttp_pdu_parse_query("SinglePost", &id), ERdhttpQuery::kSinglePost);
    EXPECT_EQ(rdhttp_pdu_parse_query("4294967295", &id), ERdhttpQuery::kSession);
    EXPECT_EQ(id, 0xFFFFFFFFu);
    EXPECT_EQ(rdhttp_pdu_parse_query("1", &id), ERdhttpQuery::kSession);
    EXPECT_EQ(id, 1u);
    for (const char *bad : {"", "0", "00", "012", "4294967296", "99999999999", "-1", "+5", " 5",
                            "5 ", "5a", "bigpost", "BigPost2", "0x10", "12345678901"}) {
        id = 42;
        EXPECT_EQ(rdhttp_pdu_parse_query(bad, &id), ERdhttpQuery::kInvalid) << bad;
        EXPECT_EQ(id, 42u) << bad;
    }
    EXPECT_EQ(rdhttp_pdu_parse_query(nullptr, &id), ERdhttpQuery::kInvalid);
}

TEST(RdhttpPdu, BigPostHeaderAndOkAreReadAsTheyArriveAndForeignBytesAreNamed) {
    uint8_t header[8];
    ASSERT_EQ(rdhttp_pdu_write_bigpost_header(0x01020304, header, sizeof(header)), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(header), 8),
              std::string("KVHT\x01\x02\x03\x04", 8));
    EXPECT_EQ(rdhttp_pdu_write_bigpost_header(1, header, 7), -1);

    uint32_t id = 0;
    for (int len = 0; len < 8; ++len) {
        EXPECT_EQ(rdhttp_pdu_read_bigpost_header(header, len, &id), ERdhttpReply::kIncomplete);
    }
    EXPECT_EQ(rdhttp_pdu_read_bigpost_header(header, 8, &id), ERdhttpReply::kOk);
    EXPECT_EQ(id, 0x01020304u);

    const char rejected[] = "KVHT\0\0\0\0OK";
    EXPECT_EQ(rdhttp_pdu_read_bigpost_header(rejected, 10, &id), ERdhttpReply::kRejected);
    EXPECT_EQ(id, 0u);
    // A web server's own reply is foreign from its first byte.
    EXPECT_EQ(rdhttp_pdu_read_bigpost_header("HTTP/1.1 200", 1, &id), ERdhttpReply::kForeign);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_header("KVHX\1\1\1\1", 8, &id), ERdhttpReply::kForeign);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_header("KV", 2, &id), ERdhttpReply::kIncomplete);

    EXPECT_EQ(rdhttp_pdu_read_bigpost_ok("O", 1), ERdhttpReply::kIncomplete);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_ok("OK", 2), ERdhttpReply::kOk);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_ok("NO", 2), ERdhttpReply::kRejected);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_ok("Ok", 2), ERdhttpReply::kRejected);
    EXPECT_EQ(rdhttp_pdu_read_bigpost_ok("OK", 0), ERdhttpReply::kIncomplete);
}

TEST(RdhttpPdu, SinglePostBodiesAreBoundedAndKeepTheirLeadingByte) {
    uint8_t open[4];
    ASSERT_EQ(rdhttp_pdu_write_open_body(open, sizeof(open)), 4);
    EXPECT_EQ(std::vector<uint8_t>(open, open + 4), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_TRUE(rdhttp_pdu_is_open_body(open, 4));
    EXPECT_FALSE(rdhttp_pdu_is_open_body(open, 3));
    EXPECT_FALSE(rdhttp_pdu_is_open_body("\x12\x34\x56\x78", 4));
    EXPECT_FALSE(rdhttp_pdu_is_open_body("xV4\x12\x00", 5));

    uint8_t reply[4];
    uint32_t id = 0;
    ASSERT_EQ(rdhttp_pdu_write_open_reply(0xCAFEBABE, reply, sizeof(reply)), 4);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4),
              (std::vector<uint8_t>{0xCA, 0xFE, 0xBA, 0xBE}));
    EXPECT_EQ(rdhttp_pdu_read_open_reply(reply, 3, &id), ERdhttpReply::kIncomplete);
    EXPECT_EQ(rdhttp_pdu_read_open_reply(reply, 4, &id), ERdhttpReply::kOk);
    EXPECT_EQ(id, 0xCAFEBABEu);
    EXPECT_EQ(rdhttp_pdu_read_open_reply("\0\0\0\0", 4, &id), ERdhttpReply::kRejected);

    std::vector<uint8_t> data(rdhttp::kMaxExchangeData + 1, 0x5A);
    std::vector<uint8_t> body(rdhttp::kMaxExchangeReply + 1);
    int out = static_cast<int>(body.size());
    EXPECT_EQ(rdhttp_pdu_write_exchange(0x78, data.data(), 4095, body.data(), out), 4096);
    EXPECT_EQ(body[0], 0x78);
    EXPECT_EQ(body[4095], 0x5A);
    EXPECT_EQ(rdhttp_pdu_write_exchange(0x78, data.data(), 4096, body.data(), out), -1);
    EXPECT_EQ(rdhttp_pdu_write_exchange(0x78, data.data(), -1, body.data(), out), -1);
    EXPECT_EQ(rdhttp_pdu_write_exchange(0x78, data.data(), 10, body.data(), 10), -1);
    EXPECT_EQ(rdhttp_pdu_write_exchange(0x78, nullptr, 0, body.data(), 1), 1);

    CRdhttpExchange ex;
    EXPECT_EQ(rdhttp_pdu_read_exchange_request(body.data(), 0, &ex), ERdhttpReply::kIncomplete);
    EXPECT_EQ(rdhttp_pdu_read_exchange_request(body.data(), 1, &ex), ERdhttpReply::kOk);
    EXPECT_EQ(ex.data_len, 0);
    EXPECT_EQ(rdhttp_pdu_read_exchange_request(body.data(), 4096, &ex), ERdhttpReply::kOk);
    EXPECT_EQ(ex.data, body.data() + 1);
    EXPECT_EQ(ex.data_len, 4095);
    EXPECT_EQ(rdhttp_pdu_read_exchange_request(body.data(), 4097, &ex), ERdhttpReply::kTooLong);
    // A reply may fill the client's whole buffer, and not a byte more.
    EXPECT_EQ(rdhttp_pdu_read_exchange_reply(body.data(), 4100, &ex), ERdhttpReply::kOk);
    EXPECT_EQ(ex.data_len, 4099);
    EXPECT_EQ(rdhttp_pdu_read_exchange_reply(body.data(), 4101, &ex), ERdhttpReply::kTooLong);
}

}  // namespace
