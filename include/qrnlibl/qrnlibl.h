// The support library: everything at once.
#ifndef QRNLIBL_QRNLIBL_H
#define QRNLIBL_QRNLIBL_H

#include "qrn_callback.h"
#include "qrn_lock.h"
#include "qrn_thread.h"
#include "qrn_string.h"
#include "qrn_buffer.h"
#include "qrn_bytestream.h"
#include "qrn_array.h"
#include "qrn_cirwin.h"
#include "qrn_handle_mgr.h"
#include "qrn_time.h"
#include "qrn_util.h"
#include "qrn_trace.h"

#endif
