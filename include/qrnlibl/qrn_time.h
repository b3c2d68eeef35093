/* Ticks, sequence distances, sleeping and the one timer thread.
 *
 * The library clock can run faster than real time by a test-only factor: get_tick_count
 * advances factor milliseconds per real millisecond, and qrn_sleep, the timers and every
 * time-out that the library derives with qrn_clock_real_ms wait factor times less. */
#ifndef QRNLIBL_QRN_TIME_H
#define QRNLIBL_QRN_TIME_H

#include <stdint.h>
#include "qrn_callback.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds of the library clock, 32-bit and wrapping. */
uint32_t get_tick_count(void);
/* Milliseconds from earlier to later, across wrap-around (later - earlier modulo 2^32). */
uint32_t calc_tick_diff(uint32_t earlier, uint32_t later);
/* Signed distance from a to b of two 16- or 32-bit sequence numbers (b - a), across
   wrap-around: positive when b is ahead of a. */
int calc_word_distance(uint16_t a, uint16_t b);
int32_t calc_dword_distance(uint32_t a, uint32_t b);

/* Sleeps ms milliseconds of the library clock. */
void qrn_sleep(uint32_t ms);

/* Calls cb(user_data, QRN_MSG_TIMER, 0, now, 0, 0) every period_ms milliseconds of the library
   clock, on the one timer thread. Setting the same (cb, user_data) again changes its period.
   0 on success, -1 for a null callback or a period of 0. */
int qrn_timer_set(qrn_callback cb, uintptr_t user_data, uint32_t period_ms);
/* Stops that timer. Returns only when its callback is no longer running, unless called from
   that callback itself (or another timer callback). 0 when it was set, -1 otherwise. */
int qrn_timer_kill(qrn_callback cb, uintptr_t user_data);

/* Test support: the clock factor (1 by default, at most 1000). The tick count goes on from
   where it stands. */
void qrn_clock_set_factor(uint32_t factor);
uint32_t qrn_clock_get_factor(void);
/* Test support: moves the tick count so that it now reads tick (for wrap-around tests). */
void qrn_clock_set_tick(uint32_t tick);
/* Real milliseconds for ms milliseconds of the library clock (at least 1 for ms > 0). */
uint32_t qrn_clock_real_ms(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif
