// A bounded first-in-first-out list of heap-allocated encoded frames, carrying encoded video and AAC frames from
// the encoder threads to the NDI|HX send threads. A full list drops its oldest frames so the newest always get
// in. Built over a plain singly linked list with a mutex of its own; the FrameList's mutex makes take-and-unlink
// and append atomic with respect to each other (lock order: list mutex, then node mutex).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

// One frame; allocated zeroed, its bytes a malloc'd copy. Freed with frame_item_free.
struct FrameItem {
    uint8_t* data;
    uint32_t size;
    uint32_t type;  // 0 video, 1 audio
    uint16_t width;
    uint16_t height;
    uint8_t tag;
    int32_t value;
    int32_t sample_rate;
    void* user;
};

constexpr uint32_t kFrameItemVideo = 0;
constexpr uint32_t kFrameItemAudio = 1;

struct LinkNode {
    LinkNode* next;
    FrameItem* item;
};

struct LinkList {
    LinkNode* head = nullptr;
    LinkNode* tail = nullptr;
    std::atomic<int32_t> enabled{0};
    std::mutex mutex;
};

struct FrameList {
    uint8_t instance = 0;
    std::atomic<uint16_t> capacity{0};
    LinkList list;
    std::mutex mutex;
};

FrameList* frame_list_init(FrameList* list, uint16_t capacity);
void frame_list_destroy(FrameList* list);
void frame_list_push(FrameList* list, FrameItem* item);
// The oldest item into *out (or freed when out is null); *out untouched when the list is empty.
void frame_list_pop(FrameList* list, FrameItem** out);
// Copies up to length bytes of the oldest item, frees it; 0 when empty.
uint32_t frame_list_pop_copy(FrameList* list, uint8_t* dst, uint32_t length);
void frame_list_push_copy(FrameList* list, const uint8_t* bytes, int length, int32_t value, void* user, uint8_t tag);
void frame_list_clear(FrameList* list);
uint32_t frame_list_size(FrameList* list);

// A zeroed item; nullptr when it cannot be allocated.
FrameItem* frame_item_alloc();
void frame_item_free(FrameItem* item);

void link_list_init(LinkList* list);
void link_list_destroy(LinkList* list);
void link_list_push_back(LinkList* list, FrameItem* item);
void link_list_pop_front(LinkList* list);
FrameItem* link_list_front(LinkList* list);
FrameItem* link_list_back(LinkList* list);
bool link_list_empty(LinkList* list);
uint32_t link_list_size(LinkList* list);
