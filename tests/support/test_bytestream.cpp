// Byte stream: network byte order, exact bytes, and refusal of everything out of bounds.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <climits>
#include <vector>

#include "qrnlibl/qrn_bytestream.h"

namespace {

constexpr uint8_t kGuard = 0xEE;

TEST(ByteStream, WritesBigEndianAndReadsBack) {
    uint8_t buf[16];
    memset(buf, kGuard, sizeof(buf));
    CQrnByteStream w(buf, 11);
    w << uint8_t{0x12} << uint16_t{0x3456} << uint32_t{0x789ABCDE};
    EXPECT_TRUE(w.WriteBytes("\x01\x02", 2));
    EXPECT_TRUE(w.WriteUChar(0xF0));
    EXPECT_TRUE(w.WriteUChar(0x0F));
    EXPECT_FALSE(w.failed());
    EXPECT_EQ(w.tell(), 11);
    EXPECT_EQ(w.available(), 0);
    const uint8_t expect[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0x01, 0x02, 0xF0, 0x0F, kGuard};
    EXPECT_EQ(memcmp(buf, expect, sizeof(expect)), 0);
    EXPECT_EQ(w.get_data(), buf);

    CQrnByteStream r(static_cast<const void *>(buf), 11);
    uint8_t a = 0;
    uint16_t b = 0;
    uint32_t c = 0;
    r >> a >> b >> c;
    EXPECT_EQ(a, 0x12);
    EXPECT_EQ(b, 0x3456);
    EXPECT_EQ(c, 0x789ABCDEu);
    uint8_t rest[4] = {};
    EXPECT_TRUE(r.ReadBytes(rest, 4));
    EXPECT_EQ(memcmp(rest, "\x01\x02\xF0\x0F", 4), 0);
    EXPECT_FALSE(r.failed());
}

TEST(ByteStream, RefusesWritesPastTheEndWithoutTouchingMemory) {
    uint8_t buf[8];
    memset(buf, kGuard, sizeof(buf));
    CQrnByteStream w(buf, 5);
    EXPECT_TRUE(w.WriteULong(0x01020304));
    EXPECT_FALSE(w.WriteUShort(0xAAAA));
    EXPECT_TRUE(w.failed());
    EXPECT_EQ(w.tell(), 4);
    EXPECT_EQ(buf[4], kGuard);
    EXPECT_FALSE(w.WriteULong(0xBBBBBBBB));
    EXPECT_FALSE(w.WriteBytes("abc", 2));
    EXPECT_EQ(buf[4], kGuard);
    EXPECT_EQ(buf[5], kGuard);
    // The room that is left can still be used.
    EXPECT_TRUE(w.WriteUChar(0x05));
    EXPECT_EQ(buf[4], 0x05);
    EXPECT_EQ(buf[5], kGuard);
    EXPECT_TRUE(w.failed());
    w.reset();
    EXPECT_FALSE(w.failed());
    EXPECT_EQ(w.tell(), 0);
}

TEST(ByteStream, ReadsPastTheEndGiveZeroAndMarkFailed) {
    const uint8_t buf[3] = {0xAB, 0xCD, 0xEF};
    CQrnByteStream r(static_cast<const void *>(buf), 3);
    uint32_t v = 99;
    EXPECT_FALSE(r.ReadULong(v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(r.tell(), 0);
    uint16_t s = 0;
    EXPECT_TRUE(r.ReadUShort(s));
    EXPECT_EQ(s, 0xABCD);
    s = 7;
    EXPECT_FALSE(r.ReadUShort(s));
    EXPECT_EQ(s, 0);
    uint8_t out[4] = {1, 1, 1, 1};
    EXPECT_FALSE(r.ReadBytes(out, 2));
    EXPECT_EQ(out[0], 1);
    EXPECT_TRUE(r.ReadBytes(out, 1));
    EXPECT_EQ(out[0], 0xEF);
    uint8_t c = 5;
    r >> c;
    EXPECT_EQ(c, 0);
    EXPECT_EQ(r.available(), 0);
}

TEST(ByteStream, NegativeAndHugeLengthsAreRefused) {
    uint8_t buf[8] = {};
    CQrnByteStream s(buf, 8);
    EXPECT_TRUE(s.skip(2));
    EXPECT_FALSE(s.skip(-1));
    EXPECT_FALSE(s.skip(INT_MAX));
    EXPECT_FALSE(s.WriteBytes(buf, -3));
    EXPECT_FALSE(s.WriteBytes(buf, INT_MAX));
    EXPECT_FALSE(s.ReadBytes(buf, -1));
    EXPECT_FALSE(s.ReadBytes(buf, INT_MIN));
    EXPECT_FALSE(s.WriteBytes(nullptr, 1));
    EXPECT_TRUE(s.failed());
    EXPECT_EQ(s.tell(), 2);
    EXPECT_TRUE(s.WriteBytes(nullptr, 0));
    EXPECT_TRUE(s.skip(6));
    EXPECT_FALSE(s.skip(1));
}

TEST(ByteStream, ReadOnlyAndNullBuffersRefuseWrites) {
    uint8_t buf[4] = {9, 9, 9, 9};
    CQrnByteStream ro(static_cast<const void *>(buf), 4);
    EXPECT_FALSE(ro.WriteUShort(0x1234));
    EXPECT_TRUE(ro.failed());
    EXPECT_EQ(buf[0], 9);
    CQrnByteStream none(static_cast<void *>(nullptr), 100);
    EXPECT_EQ(none.available(), 0);
    EXPECT_FALSE(none.WriteUChar(1));
    uint8_t v;
    EXPECT_FALSE(none.ReadUChar(v));
    CQrnByteStream negative(buf, -4);
    EXPECT_EQ(negative.available(), 0);
    EXPECT_FALSE(negative.ReadUChar(v));
}

TEST(ByteStream, OffsetFunctionsUseTheSameOrderAndCheckBounds) {
    uint8_t buf[8];
    memset(buf, kGuard, sizeof(buf));
    EXPECT_EQ(qrn_util_bs_write_ushort(buf, 6, 1, 0xA1B2), 0);
    EXPECT_EQ(qrn_util_bs_write_ulong(buf, 6, 2, 0x11223344), 0);
    const uint8_t expect[] = {kGuard, 0xA1, 0x11, 0x22, 0x33, 0x44, kGuard};
    EXPECT_EQ(memcmp(buf, expect, sizeof(expect)), 0);

    uint32_t l = 0;
    uint16_t s = 0;
    EXPECT_EQ(qrn_util_bs_read_ulong(buf, 6, 2, &l), 0);
    EXPECT_EQ(l, 0x11223344u);
    EXPECT_EQ(qrn_util_bs_read_ushort(buf, 6, 4, &s), 0);
    EXPECT_EQ(s, 0x3344);

    // Fields that do not fit are neither read nor written.
    l = 5;
    s = 5;
    EXPECT_EQ(qrn_util_bs_write_ulong(buf, 6, 3, 0), -1);
    EXPECT_EQ(qrn_util_bs_write_ushort(buf, 6, 5, 0), -1);
    EXPECT_EQ(qrn_util_bs_write_ushort(buf, 6, -1, 0), -1);
    EXPECT_EQ(qrn_util_bs_write_ulong(buf, 6, INT_MAX, 0), -1);
    EXPECT_EQ(qrn_util_bs_write_ulong(buf, -6, 0, 0), -1);
    EXPECT_EQ(qrn_util_bs_write_ulong(nullptr, 6, 0, 0), -1);
    EXPECT_EQ(memcmp(buf, expect, sizeof(expect)), 0);
    EXPECT_EQ(qrn_util_bs_read_ulong(buf, 6, 3, &l), -1);
    EXPECT_EQ(qrn_util_bs_read_ushort(buf, 6, INT_MAX - 1, &s), -1);
    EXPECT_EQ(qrn_util_bs_read_ushort(buf, INT_MIN, 0, &s), -1);
    EXPECT_EQ(qrn_util_bs_read_ushort(buf, 6, 0, nullptr), -1);
    EXPECT_EQ(l, 5u);
    EXPECT_EQ(s, 5);

    uint16_t via_class = 0;
    EXPECT_TRUE(CQrnByteStream::ReadUShort(buf, 6, 1, via_class));
    EXPECT_EQ(via_class, 0xA111);
    EXPECT_FALSE(CQrnByteStream::WriteULong(buf, 4, 1, 0));
}

// Values written by the stream and read at offsets (and the reverse) agree, whatever the value.
TEST(ByteStream, StreamAndOffsetFormsAgreeOnEveryByte) {
    const uint32_t values[] = {0u, 1u, 0x80u, 0xFFu, 0x100u, 0x8000u, 0xFFFFu, 0x10000u,
                               0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEFu};
    for (uint32_t v : values) {
        uint8_t buf[6] = {};
        CQrnByteStream w(buf, 6);
        ASSERT_TRUE(w.WriteUShort(static_cast<uint16_t>(v)));
        ASSERT_TRUE(w.WriteULong(v));
        uint16_t s = 0;
        uint32_t l = 0;
        ASSERT_EQ(qrn_util_bs_read_ushort(buf, 6, 0, &s), 0);
        ASSERT_EQ(qrn_util_bs_read_ulong(buf, 6, 2, &l), 0);
        EXPECT_EQ(s, static_cast<uint16_t>(v));
        EXPECT_EQ(l, v);
        EXPECT_EQ(buf[2], static_cast<uint8_t>(v >> 24));
        EXPECT_EQ(buf[5], static_cast<uint8_t>(v));
    }
}

}  // namespace
