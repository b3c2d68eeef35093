/* The one callback type of every layer, the application and the support timer. */
#ifndef QRNLIBL_QRN_CALLBACK_H
#define QRNLIBL_QRN_CALLBACK_H

#include <stdint.h>

#ifndef QRN_CALLBACK_DEFINED
#define QRN_CALLBACK_DEFINED
/* callback(user data, message, handle, p1, p2, p3); the result is ignored by every caller. */
typedef int (*qrn_callback)(uintptr_t user_data, int msg, uintptr_t handle,
                            uintptr_t p1, uintptr_t p2, uintptr_t p3);
#endif

/* Message code with which the support timer calls its callbacks: cb(user, 100, 0, now, 0, 0). */
#define QRN_MSG_TIMER 100

#endif
