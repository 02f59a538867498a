#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "frame_list.h"

namespace {

FrameItem* item_with(uint32_t value) {
    FrameItem* item = frame_item_alloc();
    item->data = static_cast<uint8_t*>(malloc(4));
    memcpy(item->data, &value, 4);
    item->size = 4;
    return item;
}

uint32_t value_of(FrameItem* item) {
    uint32_t v = 0;
    memcpy(&v, item->data, 4);
    return v;
}

TEST(FrameList, FullListDropsItsOldestAndEdgesBehave) {
    FrameList list;
    frame_list_init(&list, 120);
    EXPECT_NE(list.instance, 0);
    frame_list_clear(&list);  // empty: returns at once
    FrameItem* untouched = reinterpret_cast<FrameItem*>(0x1);
    frame_list_pop(&list, &untouched);
    EXPECT_EQ(untouched, reinterpret_cast<FrameItem*>(0x1)) << "pop on an empty list leaves the out pointer";
    for (uint32_t i = 0; i < 120; ++i) frame_list_push(&list, item_with(i));
    frame_list_push(&list, item_with(120));
    ASSERT_EQ(frame_list_size(&list), 120u);
    FrameItem* first = nullptr;
    frame_list_pop(&list, &first);
    EXPECT_EQ(value_of(first), 1u) << "the 119 newest old items, then the new one";
    frame_item_free(first);
    frame_list_push(&list, nullptr);
    frame_list_push(nullptr, item_with(7));  // freed (ASan would see a leak otherwise)
    frame_list_destroy(&list);                // frees the queued items
    EXPECT_EQ(frame_list_size(&list), 0u);
    frame_list_push(&list, item_with(8));  // destroyed list: freed at once
    EXPECT_EQ(frame_list_size(&list), 0u);
}

TEST(FrameList, CopyOperationsAndLinkListEnds) {
    FrameList list;
    frame_list_init(&list, 2);
    const uint8_t bytes[] = {1, 2, 3};
    frame_list_push_copy(&list, bytes, 3, 5, nullptr, 9);
    frame_list_push_copy(&list, bytes, 0, 5, nullptr, 9);  // nothing
    EXPECT_EQ(link_list_front(&list.list)->tag, 9);
    EXPECT_EQ(link_list_back(&list.list)->value, 5);
    uint8_t out[2] = {};
    EXPECT_EQ(frame_list_pop_copy(&list, out, sizeof(out)), 2u);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(frame_list_pop_copy(&list, out, sizeof(out)), 0u);
    EXPECT_TRUE(link_list_empty(&list.list));
    frame_list_destroy(&list);
}

TEST(FrameList, OneProducerOneConsumerKeepOrderAndCountDrops) {
    FrameList list;
    frame_list_init(&list, 16);
    constexpr uint32_t kItems = 20000;
    uint32_t popped = 0, last = 0;
    bool ordered = true;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        for (;;) {
            FrameItem* item = nullptr;
            frame_list_pop(&list, &item);
            if (item == nullptr) {
                if (done.load() && frame_list_size(&list) == 0) break;
                std::this_thread::yield();
                continue;
            }
            const uint32_t v = value_of(item);
            if (popped > 0 && v <= last) ordered = false;
            last = v;
            ++popped;
            frame_item_free(item);
        }
    });
    for (uint32_t i = 1; i <= kItems; ++i) frame_list_push(&list, item_with(i));
    done.store(true);
    consumer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, kItems) << "the newest item always gets in";
    EXPECT_LE(popped, kItems);
    frame_list_destroy(&list);
}

}  // namespace
