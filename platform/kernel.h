// The KERNEL32 calls the library needs.
#ifndef QRN_PLATFORM_KERNEL_H
#define QRN_PLATFORM_KERNEL_H

#include <stdint.h>

namespace ws {

// A monotonic millisecond clock, 32-bit and wrapping (real time, not the library clock).
uint32_t GetTickCount();
uint32_t GetCurrentProcessId();
// Sleeps ms real milliseconds.
void Sleep(uint32_t ms);

}  // namespace ws

#endif
