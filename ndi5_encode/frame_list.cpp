#include "frame_list.h"

#include <cstdlib>
#include <cstring>

#include "media_utils.h"

namespace {

std::atomic<uint8_t> g_instance_counter{0};

// link_list_destroy waits this long before the list is reused, so a thread that was just inside it leaves.
constexpr int kDestroyPauseMs = 10;

}  // namespace

FrameItem* frame_item_alloc() { return static_cast<FrameItem*>(calloc(1, sizeof(FrameItem))); }

void frame_item_free(FrameItem* item) {
    if (item == nullptr) return;
    free(item->data);
    free(item);
}

void link_list_init(LinkList* list) {
    std::lock_guard<std::mutex> lock(list->mutex);
    list->head = nullptr;
    list->tail = nullptr;
    list->enabled.store(1, std::memory_order_relaxed);
}

void link_list_destroy(LinkList* list) {
    {
        std::lock_guard<std::mutex> lock(list->mutex);
        list->enabled.store(0, std::memory_order_relaxed);
        LinkNode* node = list->head;
        while (node) {
            LinkNode* next = node->next;
            free(node);
            node = next;
        }
        list->head = nullptr;
        list->tail = nullptr;
    }
    sleep_ms(kDestroyPauseMs);
}

void link_list_push_back(LinkList* list, FrameItem* item) {
    std::lock_guard<std::mutex> lock(list->mutex);
    if (!list->enabled.load(std::memory_order_relaxed)) return;
    auto* node = static_cast<LinkNode*>(malloc(sizeof(LinkNode)));
    if (node == nullptr) return;
    node->next = nullptr;
    node->item = item;
    if (list->tail == nullptr) {
        list->head = node;
    } else {
        list->tail->next = node;
    }
    list->tail = node;
}

void link_list_pop_front(LinkList* list) {
    std::lock_guard<std::mutex> lock(list->mutex);
    if (!list->enabled.load(std::memory_order_relaxed) || list->head == nullptr) return;
    LinkNode* node = list->head;
    list->head = node->next;
    if (list->head == nullptr) list->tail = nullptr;
    free(node);
}

FrameItem* link_list_front(LinkList* list) {
    if (!list->enabled.load(std::memory_order_relaxed) || list->head == nullptr) return nullptr;
    return list->head->item;
}

FrameItem* link_list_back(LinkList* list) {
    if (!list->enabled.load(std::memory_order_relaxed) || list->tail == nullptr) return nullptr;
    return list->tail->item;
}

bool link_list_empty(LinkList* list) { return list->head == nullptr; }

uint32_t link_list_size(LinkList* list) {
    std::lock_guard<std::mutex> lock(list->mutex);
    if (!list->enabled.load(std::memory_order_relaxed)) return 0;
    uint32_t n = 0;
    for (LinkNode* node = list->head; node; node = node->next) ++n;
    return n;
}

FrameList* frame_list_init(FrameList* list, uint16_t capacity) {
    list->instance = static_cast<uint8_t>(g_instance_counter.fetch_add(1, std::memory_order_relaxed) + 1);
    link_list_init(&list->list);
    list->capacity.store(capacity, std::memory_order_relaxed);
    return list;
}

void frame_list_destroy(FrameList* list) {
    list->capacity.store(0, std::memory_order_relaxed);
    list->instance = 0;
    frame_list_clear(list);
    link_list_destroy(&list->list);
}

void frame_list_push(FrameList* list, FrameItem* item) {
    if (item == nullptr) return;
    if (list == nullptr) {
        frame_item_free(item);
        return;
    }
    const uint16_t capacity = list->capacity.load(std::memory_order_relaxed);
    if (capacity == 0) {
        frame_item_free(item);
        return;
    }
    while (frame_list_size(list) >= capacity) frame_list_pop(list, nullptr);
    std::lock_guard<std::mutex> lock(list->mutex);
    link_list_push_back(&list->list, item);
}

void frame_list_pop(FrameList* list, FrameItem** out) {
    FrameItem* item = nullptr;
    {
        std::lock_guard<std::mutex> lock(list->mutex);
        std::lock_guard<std::mutex> nodes(list->list.mutex);
        if (!list->list.enabled.load(std::memory_order_relaxed) || list->list.head == nullptr) return;
        LinkNode* node = list->list.head;
        item = node->item;
        list->list.head = node->next;
        if (list->list.head == nullptr) list->list.tail = nullptr;
        free(node);
    }
    if (out) {
        *out = item;
    } else {
        frame_item_free(item);
    }
}

uint32_t frame_list_pop_copy(FrameList* list, uint8_t* dst, uint32_t length) {
    FrameItem* item = nullptr;
    frame_list_pop(list, &item);
    if (item == nullptr) return 0;
    const uint32_t n = item->size < length ? item->size : length;
    if (dst && n > 0) memcpy(dst, item->data, n);
    frame_item_free(item);
    return dst ? n : 0;
}

void frame_list_push_copy(FrameList* list, const uint8_t* bytes, int length, int32_t value, void* user, uint8_t tag) {
    if (list == nullptr || bytes == nullptr || length <= 0) return;
    FrameItem* item = frame_item_alloc();
    if (item == nullptr) return;
    item->data = static_cast<uint8_t*>(malloc(static_cast<size_t>(length)));
    if (item->data == nullptr) {
        frame_item_free(item);
        return;
    }
    memcpy(item->data, bytes, static_cast<size_t>(length));
    item->size = static_cast<uint32_t>(length);
    item->type = kFrameItemVideo;
    item->value = value;
    item->user = user;
    item->tag = tag;
    frame_list_push(list, item);
}

void frame_list_clear(FrameList* list) {
    while (frame_list_size(list) > 0) frame_list_pop(list, nullptr);
}

uint32_t frame_list_size(FrameList* list) { return link_list_size(&list->list); }
