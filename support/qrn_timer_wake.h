// Between the clock and the timer thread, inside the support library.
#ifndef QRNLIBL_SUPPORT_QRN_TIMER_WAKE_H
#define QRNLIBL_SUPPORT_QRN_TIMER_WAKE_H

// Tells the timer thread that the clock's factor or reading changed, so that it measures its
// wait again. Does nothing while no timer thread runs.
__attribute__((visibility("hidden"))) void qrn_timer_wake();

#endif
