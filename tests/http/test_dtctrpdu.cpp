// The detector's PDUs byte for byte, and what a reader makes of short and foreign bytes.
#include <gtest/gtest.h>

#include <vector>

#include "http/dtctrpdu.h"

namespace {

std::vector<uint8_t> Bytes(const CDetectorPdu &pdu) {
    return std::vector<uint8_t>(pdu.GetBytes(), pdu.GetBytes() + pdu.GetSize());
}

TEST(DetectorPdu, EachTypeIsFiveBytesAndReadsBackAsItsClass) {
    EXPECT_EQ(Bytes(CDetectorPduSessionCreated(0xA1B2C3D4)),
              (std::vector<uint8_t>{0x01, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(Bytes(CDetectorPduEcho(dtctr::kBigPostEcho)),
              (std::vector<uint8_t>{0x02, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Bytes(CDetectorPduEcho(dtctr::kSmallPostEcho)),
              (std::vector<uint8_t>{0x02, 0x00, 0xBC, 0x61, 0x4E}));
    EXPECT_EQ(Bytes(CDetectorPduClose()), (std::vector<uint8_t>{0x03, 0, 0, 0, 0}));

    EDetectorPduRead result;
    CDetectorPduEcho answer(dtctr::kEchoAnswer);
    // A read looks at the first five bytes only: the close that follows in a POST body stays.
    std::vector<uint8_t> two = Bytes(answer);
    auto close = Bytes(CDetectorPduClose());
    two.insert(two.end(), close.begin(), close.end());
    auto pdu = CDetectorPdu::Read(two.data(), static_cast<int>(two.size()), &result);
    ASSERT_TRUE(pdu);
    EXPECT_EQ(result, EDetectorPduRead::kOk);
    EXPECT_EQ(pdu->GetType(), dtctr::kTypeEcho);
    EXPECT_EQ(static_cast<CDetectorPduEcho *>(pdu.get())->GetEchoNumber(), 0x87654321u);
    EXPECT_EQ(Bytes(*pdu), Bytes(answer));

    pdu = CDetectorPdu::Read(two.data() + 5, 5, &result);
    ASSERT_TRUE(pdu);
    EXPECT_EQ(pdu->GetType(), dtctr::kTypeClose);

    const uint8_t created[] = {0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    pdu = CDetectorPdu::Read(created, sizeof(created), &result);
    ASSERT_TRUE(pdu);
    EXPECT_EQ(static_cast<CDetectorPduSessionCreated *>(pdu.get())->GetSessionId(), 0xFFFFFFFFu);

    // A close's unused bytes are ignored, whatever they hold.
    const uint8_t noisy_close[] = {0x03, 0xDE, 0xAD, 0xBE, 0xEF};
    uint8_t type = 0;
    uint32_t value = 1;
    EXPECT_EQ(dtctr_pdu_read(noisy_close, 5, &type, &value), EDetectorPduRead::kOk);
    EXPECT_EQ(type, dtctr::kTypeClose);
    EXPECT_EQ(value, 0u);
}

TEST(DetectorPdu, ShortUnknownAndMissingInputIsRefused) {
    EDetectorPduRead result;
    const uint8_t echo[] = {0x02, 0x12, 0x34, 0x56, 0x78};
    for (int len = 0; len < 5; ++len) {
        EXPECT_FALSE(CDetectorPdu::Read(echo, len, &result)) << len;
        EXPECT_EQ(result, EDetectorPduRead::kShort);
    }
    EXPECT_FALSE(CDetectorPdu::Read(nullptr, 5, &result));
    EXPECT_EQ(result, EDetectorPduRead::kShort);
    for (uint8_t type : {0x00, 0x04, 0x48, 0xFF}) {
        const uint8_t foreign[] = {type, 1, 2, 3, 4};
        EXPECT_FALSE(CDetectorPdu::Read(foreign, 5, &result)) << int(type);
        EXPECT_EQ(result, EDetectorPduRead::kUnknownType);
    }
    uint8_t out[5];
    EXPECT_EQ(dtctr_pdu_write(dtctr::kTypeEcho, 7, out, 4), -1);
    EXPECT_EQ(dtctr_pdu_write(dtctr::kTypeEcho, 7, nullptr, 5), -1);
    EXPECT_EQ(dtctr_pdu_write(dtctr::kTypeEcho, 7, out, 5), 5);
}

}  // namespace
