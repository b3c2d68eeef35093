/* The public C headers compile as C and their functions link from a C program. */
#include <string.h>

#include "qrn/qrn_export.h"
#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_cirwin.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_util.h"

/* Both headers declare qrn_callback; the transport's constants are usable in constant
   expressions (a wrong value fails the build through a negative array size). */
typedef char tp_constants_check[(QRN_TP_MAX_CONNECT_DATA == 32752 && QRN_TP_MSG_CLOSED == 5 &&
                                 QRN_TP_SEND_DATAGRAM == 1) ? 1 : -1];

static int check_ring(void) {
    char out[4];
    qrn_cirwin *w = qrn_cirwin_create(8);
    int ok = w && qrn_cirwin_write(w, "abcdef", 6) == 6 && qrn_cirwin_read(w, out, 4) == 4 &&
             memcmp(out, "abcd", 4) == 0 && qrn_cirwin_read_size(w) == 4;
    qrn_cirwin_destroy(w);
    return ok;
}

static int check_handles(void) {
    qrn_handle_mgr *mgr = qrn_handle_mgr_create(4, 16);
    int id = qrn_handle_mgr_alloc_id(mgr);
    int ok = id != 0 && qrn_handle_mgr_get(mgr, id) != NULL && qrn_handle_mgr_free_id(mgr, id) == 1 &&
             qrn_handle_mgr_get(mgr, id) == NULL;
    qrn_handle_mgr_destroy(mgr);
    return ok;
}

int main(void) {
    unsigned char buf[4];
    uint16_t v = 0;
    char ip[16];
    int ok = sizeof(tp_constants_check) == 1 && check_ring() && check_handles();
    ok = ok && qrn_util_bs_write_ushort(buf, 4, 2, 0x1234) == 0 && buf[2] == 0x12 &&
         qrn_util_bs_read_ushort(buf, 4, 2, &v) == 0 && v == 0x1234 &&
         qrn_util_bs_read_ushort(buf, 4, 3, &v) == -1;
    ok = ok && calc_word_distance(0xfffe, 1) == 3 && calc_tick_diff(0xffffffffu, 1) == 2;
    ok = ok && strcmp(ip_2_string(0x7f000001u, ip, sizeof ip), "127.0.0.1") == 0;
    return ok ? 0 : 1;
}
