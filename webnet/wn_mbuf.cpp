#include "wn_mbuf.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

void mbuf_init(mbuf* a, size_t initial_size) {
    a->buf = nullptr;
    a->len = 0;
    a->size = 0;
    mbuf_resize(a, initial_size);
}

void mbuf_free(mbuf* a) {
    if (a->buf != nullptr) {
        std::free(a->buf);
        mbuf_init(a, 0);
    }
}

void mbuf_resize(mbuf* a, size_t new_size) {
    if ((new_size > a->size || (new_size < a->size && new_size >= a->len))) {
        char* grown = static_cast<char*>(std::realloc(a->buf, new_size));
        // A failed reallocation to a non-zero size keeps the old memory; realloc to 0 may free and give null.
        if (grown == nullptr && new_size != 0) return;
        a->buf = grown;
        a->size = new_size;
    }
}

void mbuf_trim(mbuf* a) { mbuf_resize(a, a->len); }

size_t mbuf_insert(mbuf* a, size_t offset, const void* data, size_t length) {
    assert(a != NULL && "a != NULL");
    assert(a->len <= a->size && "a->len <= a->size");
    assert(offset <= a->len && "off <= a->len");
    // The new length must not run past the address range above buf.
    if (reinterpret_cast<uintptr_t>(a->buf) > UINTPTR_MAX - a->len - length || length > SIZE_MAX - a->len) return 0;
    char* at;
    if (a->len + length <= a->size) {
        if (offset < a->len) std::memmove(a->buf + offset + length, a->buf + offset, a->len - offset);
        at = a->buf + offset;
    } else {
        const size_t needed = a->len + length;
        size_t new_size = static_cast<size_t>(static_cast<double>(needed) * 1.5);
        if (new_size - needed > kMbufMaxHeadroom) new_size = needed + kMbufMaxHeadroom;
        char* grown = static_cast<char*>(std::realloc(a->buf, new_size));
        if (grown == nullptr && new_size != needed) {
            new_size = needed;
            grown = static_cast<char*>(std::realloc(a->buf, new_size));
        }
        if (grown == nullptr) return 0;
        a->buf = grown;
        if (offset < a->len) std::memmove(a->buf + offset + length, a->buf + offset, a->len - offset);
        a->size = new_size;
        at = a->buf + offset;
    }
    if (data != nullptr && length > 0) std::memcpy(at, data, length);
    a->len += length;
    return length;
}

size_t mbuf_append(mbuf* a, const void* data, size_t length) { return mbuf_insert(a, a->len, data, length); }

size_t mbuf_append_and_free(mbuf* a, void* block, size_t length) {
    if (a->len > 0) {
        const size_t added = mbuf_append(a, block, length);
        std::free(block);
        return added;
    }
    std::free(a->buf);
    a->buf = static_cast<char*>(block);
    a->size = length;
    a->len = length;
    return length;
}

void mbuf_remove(mbuf* a, size_t n) {
    if (n > 0 && n <= a->len) {
        if (n < a->len) std::memmove(a->buf, a->buf + n, a->len - n);
        a->len -= n;
    }
}

void mbuf_clear(mbuf* a) { a->len = 0; }

void mbuf_move(mbuf* from, mbuf* to) {
    *to = *from;
    from->buf = nullptr;
    from->len = 0;
    from->size = 0;
}
