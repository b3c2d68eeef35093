// The system error codes that both the IP helper and the internet library return.
#ifndef QRN_PLATFORM_WIN_ERROR_H
#define QRN_PLATFORM_WIN_ERROR_H

#include <stdint.h>

namespace ws {

constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;

}  // namespace ws

#endif
