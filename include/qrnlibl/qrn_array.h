/* qrn_array: a growable array of fixed-size elements, copied in and out by value. */
#ifndef QRNLIBL_QRN_ARRAY_H
#define QRNLIBL_QRN_ARRAY_H

#ifdef __cplusplus
class CQrnLock;
extern "C" {
#else
typedef struct CQrnLock CQrnLock;
#endif

typedef struct qrn_array qrn_array;

/* elem_size > 0; grow_by is the number of elements added when full (0: doubles). Null on bad sizes. */
qrn_array *qrn_array_create(int elem_size, int grow_by);
/* The same, under the name the layers use. */
qrn_array *qrn_array_init_ex(int elem_size, int grow_by);
/* Every later call takes this (re-entrant) lock for its run. An element pointer from
   qrn_array_get stays safe to use only while the caller holds the lock itself. */
void qrn_array_set_lock(qrn_array *a, CQrnLock *lock);
void qrn_array_destroy(qrn_array *a);
int qrn_array_size(const qrn_array *a);
/* Element at index, valid until the array changes; null when out of range. */
void *qrn_array_get(qrn_array *a, int index);
/* Copies elem in at the end; returns its index, or -1. */
int qrn_array_append(qrn_array *a, const void *elem);
/* Copies elem in before index (0..size); returns index, or -1 when out of range. */
int qrn_array_insert(qrn_array *a, int index, const void *elem);
/* Removes the element at index, moving the rest down; 0, or -1 when out of range. */
int qrn_array_remove(qrn_array *a, int index);
/* Removes count elements from index on (clipped to the end); returns how many went. */
int qrn_array_remove_range(qrn_array *a, int index, int count);
void qrn_array_clear(qrn_array *a);

#ifdef __cplusplus
}
#endif

#endif
