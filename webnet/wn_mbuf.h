// The growable byte buffer under every layer of the networking library: receive and send buffers of each
// connection, request bodies, DNS messages, result texts. Allocation failures never lose data: an insert
// that cannot grow returns 0 and leaves the buffer as it was.
#pragma once

#include <cstddef>

struct mbuf {
    char* buf;    // heap memory, or null when nothing is allocated
    size_t len;   // bytes in use, at the start of buf
    size_t size;  // bytes allocated
};

// A growing insert allocates 1.5 times what it needs, but never more than this beyond it.
constexpr size_t kMbufMaxHeadroom = 8192;

void mbuf_init(mbuf* a, size_t initial_size);
void mbuf_free(mbuf* a);
void mbuf_resize(mbuf* a, size_t new_size);
void mbuf_trim(mbuf* a);
// Inserts length bytes at offset (data null: the new bytes are left unset). Returns the bytes inserted.
size_t mbuf_insert(mbuf* a, size_t offset, const void* data, size_t length);
size_t mbuf_append(mbuf* a, const void* data, size_t length);
// Takes over a heap block: appended and freed when the buffer holds data, adopted whole when it is empty.
size_t mbuf_append_and_free(mbuf* a, void* block, size_t length);
void mbuf_remove(mbuf* a, size_t n);
void mbuf_clear(mbuf* a);
// Moves the memory of from into to; to's previous memory is not freed (the caller empties it first).
void mbuf_move(mbuf* from, mbuf* to);
