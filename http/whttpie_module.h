// The HTTP client's module state, shared by CWCSHttpIE and its internet thread.
#ifndef QRN_HTTP_WHTTPIE_MODULE_H
#define QRN_HTTP_WHTTPIE_MODULE_H

#include <stdint.h>

#include "qrnlibl/qrn_lock.h"
#include "platform/wininet.h"

// The module lock: the notice queue and every object's request state.
CQrnLock &WcsModuleLock();
// The next instance number.
int WcsNextInstance();
// The status callback given to the internet layer: queues notices 51, 70 and 100.
void WcsStatusCallback(ws::HINTERNET handle, uintptr_t context, uint32_t status, void *info,
                       uint32_t info_len);

// Queues a notice for a request context from this layer itself (kNoticeWindowRoom).
void WcsQueueNotice(uint32_t status, uintptr_t context);

#endif
