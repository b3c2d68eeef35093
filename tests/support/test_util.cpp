// Address text, splitting, the stream transform, and the string class.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "qrnlibl/qrn_string.h"
#include "qrnlibl/qrn_util.h"

namespace {

std::vector<std::string> Explode(const char *s, char sep) {
    std::vector<std::string> out;
    for (const CQrnString &p : str_explode(s, sep)) out.emplace_back(p.c_str());
    return out;
}

using Pieces = std::vector<std::string>;

TEST(Util, IpToStringWritesDottedQuadFirstOctetMostSignificant) {
    char out[16];
    EXPECT_STREQ(ip_2_string(0x7F000001u, out, sizeof(out)), "127.0.0.1");
    EXPECT_STREQ(ip_2_string(0xFFFFFFFFu, out, sizeof(out)), "255.255.255.255");
    EXPECT_STREQ(ip_2_string(0, out, sizeof(out)), "0.0.0.0");
    EXPECT_STREQ(ip_2_string(0xC0A80A01u, out, sizeof(out)), "192.168.10.1");
}

TEST(Util, IpToStringCutsToShortBuffers) {
    char out[8];
    memset(out, 'X', sizeof(out));
    EXPECT_STREQ(ip_2_string(0xFFFFFFFFu, out, 5), "255.");
    EXPECT_EQ(out[5], 'X');
    EXPECT_STREQ(ip_2_string(0x01020304u, out, 1), "");
    out[0] = 'Y';
    ip_2_string(0x01020304u, out, 0);
    EXPECT_EQ(out[0], 'Y');
    EXPECT_EQ(ip_2_string(1, nullptr, 16), nullptr);
}

TEST(Util, ExplodeDropsEmptyPieces) {
    EXPECT_EQ(Explode("a;;b;", ';'), (Pieces{"a", "b"}));
    EXPECT_EQ(Explode("127.0.0.1;127.0.0.2", ';'), (Pieces{"127.0.0.1", "127.0.0.2"}));
    EXPECT_EQ(Explode(";lead", ';'), (Pieces{"lead"}));
    EXPECT_EQ(Explode("whole", ';'), (Pieces{"whole"}));
    EXPECT_EQ(Explode("", ';'), Pieces{});
    EXPECT_EQ(Explode(";;;", ';'), Pieces{});
    EXPECT_EQ(Explode(nullptr, ';'), Pieces{});
    EXPECT_EQ(Explode("a b", '\0'), (Pieces{"a b"}));
    EXPECT_EQ(Explode("x", 'x'), Pieces{});
}

TEST(Util, XorChangesEveryByteAndUndoesItself) {
    std::vector<uint8_t> plain(257);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> enc(plain.size()), dec(plain.size());
    encrypt_xor(plain.data(), enc.data(), static_cast<int>(plain.size()));
    for (size_t i = 0; i < plain.size(); ++i) ASSERT_NE(enc[i], plain[i]) << i;
    decrypt_xor(enc.data(), dec.data(), static_cast<int>(enc.size()));
    EXPECT_EQ(dec, plain);
    // Bad lengths do nothing.
    encrypt_xor(plain.data(), enc.data(), -1);
    encrypt_xor(nullptr, enc.data(), 5);
    decrypt_xor(enc.data(), dec.data(), 0);
    EXPECT_EQ(dec, plain);
}

// The sender transforms the pieces the application hands over, the receiver the bodies of
// the PDUs; the two cuttings differ, and the pieces start at any alignment.
TEST(Util, XorUndoesItselfOverRandomCuttingsInPlace) {
    std::mt19937 rng(2024);
    std::vector<uint8_t> plain(100003);
    for (auto &b : plain) b = static_cast<uint8_t>(rng());
    auto transform_in_pieces = [&](std::vector<uint8_t> &buf, bool encrypt) {
        size_t at = 0;
        while (at < buf.size()) {
            size_t piece = std::min<size_t>(buf.size() - at, 1 + rng() % 40);
            if (rng() % 8 == 0) piece = std::min<size_t>(buf.size() - at, 1 + rng() % 5000);
            uint8_t *p = buf.data() + at;
            if (encrypt) encrypt_xor(p, p, static_cast<int>(piece));
            else decrypt_xor(p, p, static_cast<int>(piece));
            at += piece;
        }
    };
    std::vector<uint8_t> whole(plain.size());
    encrypt_xor(plain.data(), whole.data(), static_cast<int>(plain.size()));
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<uint8_t> buf = plain;
        transform_in_pieces(buf, true);
        ASSERT_EQ(buf, whole);
        transform_in_pieces(buf, false);
        ASSERT_EQ(buf, plain);
    }
}

TEST(QrnString, FormatFindAndSubstr) {
    CQrnString s;
    s.format("%s=%d", "conn_id", 42);
    EXPECT_EQ(s, "conn_id=42");
    std::string longer(1000, 'z');
    s.format("<%s>", longer.c_str());
    EXPECT_EQ(s.length(), 1002);
    EXPECT_EQ(std::string(s.c_str()), "<" + longer + ">");

    CQrnString t("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(t.find("\r\n\r\n"), 15);
    EXPECT_EQ(t.find("200", 10), -1);
    EXPECT_EQ(t.find("OK", -1), -1);
    EXPECT_EQ(t.find("", t.length()), t.length());
    EXPECT_EQ(t.find(' '), 8);
    EXPECT_EQ(t.find(' ', 9), 12);
    EXPECT_EQ(t.find(' ', 100), -1);
    EXPECT_EQ(t.find(nullptr), -1);
    EXPECT_EQ(t.substr(9, 3), "200");
    EXPECT_EQ(t.substr(13), "OK\r\n\r\n");
    EXPECT_EQ(t.substr(t.length()), "");
    EXPECT_EQ(t.substr(-1, 2), "");
    EXPECT_EQ(t.substr(100), "");
    EXPECT_EQ(t.substr(17, 1000), "\r\n");
}

TEST(QrnString, AppendAndConstructionHandleNullAndLengths) {
    CQrnString s(nullptr);
    EXPECT_TRUE(s.empty());
    s.append("abcdef", 3);
    s.append(nullptr, 3);
    s.append("zz", -1);
    s += "!";
    s += nullptr;
    EXPECT_EQ(s, "abc!");
    CQrnString bytes("a\0b", 3);
    EXPECT_EQ(bytes.length(), 3);
    EXPECT_EQ(CQrnString("xyz", -2), "");
    s.clear();
    EXPECT_TRUE(s.empty());
    s = nullptr;
    EXPECT_EQ(s, "");
}

}  // namespace
