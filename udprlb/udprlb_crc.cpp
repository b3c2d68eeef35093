#include "udprlb/udprlb_crc.h"

uint16_t udprlb_crc16(const void *data, uint16_t len) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    uint16_t crc = urlb::kCrcInit;
    for (uint16_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(urlb::kCrcTable[((crc >> 8) ^ bytes[i]) & 0xff] ^ (crc << 8));
    }
    return crc;
}
