// CRC-16/XMODEM of a PDU's payload: polynomial 0x1021, initial value 0, most significant bit
// first, no reflection, no final xor.
#ifndef QRN_UDPRLB_UDPRLB_CRC_H
#define QRN_UDPRLB_UDPRLB_CRC_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "udprlb/udprlb_defs.h"

namespace urlb {

// Entry i: the register after shifting byte i in from the top of a zero register.
constexpr std::array<uint16_t, kCrcTableSize> MakeCrcTable() {
    std::array<uint16_t, kCrcTableSize> table{};
    for (int i = 0; i < kCrcTableSize; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ kCrcPolynomial)
                                 : static_cast<uint16_t>(reg << 1);
        }
        table[static_cast<size_t>(i)] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, kCrcTableSize> kCrcTable = MakeCrcTable();

}  // namespace urlb

// The CRC of len bytes at data (0 for none).
uint16_t udprlb_crc16(const void *data, uint16_t len);

#endif
