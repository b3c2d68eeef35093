#include "qrnlibl/qrn_array.h"

#include "qrnlibl/qrn_lock.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <new>
#include <vector>

namespace {

constexpr int kFirstCapacity = 4;

}  // namespace

struct qrn_array {
    char *data;
    int elem_size;
    int grow_by;
    int size;
    int capacity;
    CQrnLock *lock;
};

static char *qrn_array_at(const qrn_array *a, int index) {
    return a->data + static_cast<size_t>(index) * static_cast<size_t>(a->elem_size);
}

// Room for one more element.
static bool qrn_array_reserve_one(qrn_array *a) {
    if (a->size < a->capacity) return true;
    if (a->size == INT_MAX) return false;
    long long cap = a->grow_by > 0 ? static_cast<long long>(a->capacity) + a->grow_by
                                   : static_cast<long long>(a->capacity) * 2;
    if (cap < kFirstCapacity) cap = kFirstCapacity;
    if (cap > INT_MAX) cap = INT_MAX;
    size_t bytes = static_cast<size_t>(cap) * static_cast<size_t>(a->elem_size);
    char *grown = static_cast<char *>(realloc(a->data, bytes));
    if (!grown) return false;
    a->data = grown;
    a->capacity = static_cast<int>(cap);
    return true;
}

extern "C" {

qrn_array *qrn_array_create(int elem_size, int grow_by) {
    if (elem_size <= 0 || grow_by < 0) return nullptr;
    qrn_array *a = new (std::nothrow) qrn_array{nullptr, elem_size, grow_by, 0, 0, nullptr};
    return a;
}

qrn_array *qrn_array_init_ex(int elem_size, int grow_by) { return qrn_array_create(elem_size, grow_by); }

void qrn_array_set_lock(qrn_array *a, CQrnLock *lock) {
    if (a) a->lock = lock;
}

void qrn_array_destroy(qrn_array *a) {
    if (!a) return;
    free(a->data);
    delete a;
}

int qrn_array_size(const qrn_array *a) {
    if (!a) return 0;
    CQrnFuncLock guard(a->lock);
    return a->size;
}

void *qrn_array_get(qrn_array *a, int index) {
    if (!a) return nullptr;
    CQrnFuncLock guard(a->lock);
    if (index < 0 || index >= a->size) return nullptr;
    return qrn_array_at(a, index);
}

int qrn_array_append(qrn_array *a, const void *elem) {
    return a ? qrn_array_insert(a, a->size, elem) : -1;
}

int qrn_array_insert(qrn_array *a, int index, const void *elem) {
    if (!a || !elem) return -1;
    CQrnFuncLock guard(a->lock);
    if (index < 0 || index > a->size) return -1;
    size_t es = static_cast<size_t>(a->elem_size);
    // An element copied from the array itself would move with the storage.
    const char *src = static_cast<const char *>(elem);
    std::vector<char> own_copy;
    uintptr_t at = reinterpret_cast<uintptr_t>(src);
    uintptr_t lo = reinterpret_cast<uintptr_t>(a->data);
    if (a->data && at >= lo && at < lo + static_cast<size_t>(a->capacity) * es) {
        own_copy.assign(src, src + es);
        src = own_copy.data();
    }
    if (!qrn_array_reserve_one(a)) return -1;
    if (index < a->size) {
        memmove(qrn_array_at(a, index + 1), qrn_array_at(a, index),
                static_cast<size_t>(a->size - index) * es);
    }
    memcpy(qrn_array_at(a, index), src, es);
    ++a->size;
    return index;
}

int qrn_array_remove(qrn_array *a, int index) {
    return qrn_array_remove_range(a, index, 1) == 1 ? 0 : -1;
}

int qrn_array_remove_range(qrn_array *a, int index, int count) {
    if (!a) return 0;
    CQrnFuncLock guard(a->lock);
    if (index < 0 || index >= a->size || count <= 0) return 0;
    if (count > a->size - index) count = a->size - index;
    int tail = a->size - index - count;
    if (tail > 0) {
        memmove(qrn_array_at(a, index), qrn_array_at(a, index + count),
                static_cast<size_t>(tail) * static_cast<size_t>(a->elem_size));
    }
    a->size -= count;
    return count;
}

void qrn_array_clear(qrn_array *a) {
    if (!a) return;
    CQrnFuncLock guard(a->lock);
    a->size = 0;
}

}  // extern "C"
