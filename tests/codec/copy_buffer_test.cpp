// The three-slot frame ring: admission and read rules as sequences of writes and reads, sizes it refuses,
// the 2D-engine writers on real pixels, and producers and a consumer at full speed (run under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "copy_buffer.h"

namespace {

// A 4x4 NV12 ring: slots of 24 bytes; each test frame is filled with its number.
constexpr int kWidth = 4;
constexpr int kHeight = 4;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;

void write_frame(copy_buffer& ring, int number) {
    std::vector<uint8_t> frame(kFrameBytes, static_cast<uint8_t>(number));
    ring.m_copy_buffer_write(frame.data(), kFrameBytes);
}

// The frame number the read start hands out, or 0 when it hands out nothing.
int start_read(copy_buffer& ring) {
    uint8_t* slot = nullptr;
    if (ring.m_copy_buffer_read_pop_start(&slot) != 1) return 0;
    return slot[0];
}

// One step of a sequence: 'W' writes frame `value`, 'S' starts a read that must give frame `value` (0: none),
// 'E' ends the read.
struct Step {
    char op;
    int value;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

TEST(CopyBufferRules, WriteAndReadSequences) {
    const Sequence sequences[] = {
        {"fresh ring has nothing; first write is read first", {{'S', 0}, {'W', 1}, {'S', 1}, {'E', 0}, {'S', 0}}},
        {"third unread write is dropped until a read ends",
         {{'W', 1}, {'W', 2}, {'W', 3}, {'S', 1}, {'E', 0}, {'W', 4}, {'S', 2}, {'E', 0}, {'S', 4}, {'E', 0}, {'S', 0}}},
        {"second start after an end hands out the next slot", {{'W', 1}, {'W', 2}, {'S', 1}, {'E', 0}, {'S', 2}}},
        {"repeated start with one unread and read count >= 2 is refused",
         {{'W', 1}, {'S', 1}, {'E', 0}, {'W', 2}, {'S', 2}, {'E', 0}, {'W', 3}, {'S', 3}, {'S', 0}, {'E', 0}, {'S', 0}}},
        {"repeated start with two unread hands out the same slot again",
         {{'W', 1}, {'S', 1}, {'E', 0}, {'W', 2}, {'S', 2}, {'E', 0}, {'W', 3}, {'W', 4}, {'S', 3}, {'S', 3}, {'E', 0}, {'S', 4}}},
        {"repeated start early in the ring is refused", {{'W', 1}, {'W', 2}, {'S', 1}, {'S', 0}, {'E', 0}, {'S', 2}}},
        {"end without a start changes nothing", {{'E', 0}, {'W', 1}, {'E', 0}, {'S', 1}, {'E', 0}, {'S', 0}}},
        {"the slot open for reading is never written",
         {{'W', 1}, {'W', 2}, {'S', 1}, {'W', 3}, {'E', 0}, {'W', 4}, {'S', 2}, {'E', 0}, {'S', 4}}},
        {"the ring keeps going round",
         {{'W', 1}, {'S', 1}, {'E', 0}, {'W', 2}, {'S', 2}, {'E', 0}, {'W', 3}, {'S', 3}, {'E', 0},
          {'W', 4}, {'W', 5}, {'S', 4}, {'E', 0}, {'S', 5}, {'E', 0}, {'W', 6}, {'S', 6}}},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        copy_buffer ring("rules");
        ring.m_copy_buffer_init(kWidth, kHeight, kCopyBufferNv12);
        for (size_t i = 0; i < sequence.steps.size(); ++i) {
            const Step& step = sequence.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (step.op == 'W') {
                write_frame(ring, step.value);
            } else if (step.op == 'S') {
                EXPECT_EQ(start_read(ring), step.value);
            } else {
                EXPECT_EQ(ring.m_copy_buffer_read_pop_end(), 1);
            }
        }
    }
}

TEST(CopyBufferSizes, SlotSizeFollowsTheFormatCode) {
    EXPECT_EQ(copy_buffer::slot_bytes(kCopyBufferNv12, 1920, 1080), 3110400u);
    EXPECT_EQ(copy_buffer::slot_bytes(kCopyBufferNv16, 1920, 1080), 4147200u);
    EXPECT_EQ(copy_buffer::slot_bytes(kCopyBufferRgb24, 640, 360), 691200u);
    EXPECT_EQ(copy_buffer::slot_bytes(kCopyBufferYuyv, 640, 360), 460800u);
    EXPECT_EQ(copy_buffer::slot_bytes(5, 640, 360), 0u);
}

// A frame that does not fit its slot is dropped, not copied past the slot, and uses up no slot.
TEST(CopyBufferSizes, FramesLargerThanTheSlotAreRefused) {
    copy_buffer ring("sizes");
    ring.m_copy_buffer_init(kWidth, kHeight, kCopyBufferNv12);
    std::vector<uint8_t> big(kFrameBytes + 1, 9);
    ring.m_copy_buffer_write(big.data(), static_cast<int>(big.size()));
    ring.m_copy_buffer_write_nv12_crop(big.data(), static_cast<int>(big.size()), kWidth, kHeight);
    ring.m_copy_buffer_write(big.data(), -1);
    EXPECT_EQ(start_read(ring), 0);
    write_frame(ring, 1);
    EXPECT_EQ(start_read(ring), 1);

    // Format 5 has slots of 0 bytes: nothing fits.
    copy_buffer empty("empty");
    empty.m_copy_buffer_init(kWidth, kHeight, 5);
    EXPECT_TRUE(empty.is_initialised());
    write_frame(empty, 1);
    EXPECT_EQ(start_read(empty), 0);

    // A ring never initialised, or uninitialised, takes nothing.
    copy_buffer bare("bare");
    write_frame(bare, 1);
    EXPECT_EQ(start_read(bare), 0);
    ring.m_copy_buffer_uninit();
    EXPECT_FALSE(ring.is_initialised());
    write_frame(ring, 2);
    EXPECT_EQ(start_read(ring), 0);

    // Absurd sizes get no slots.
    copy_buffer absurd("absurd");
    absurd.m_copy_buffer_init(kCopyBufferMaxDimension + 1, 4, kCopyBufferNv12);
    write_frame(absurd, 1);
    EXPECT_EQ(start_read(absurd), 0);
}

TEST(CopyBufferSizes, SlotsKeepTheirSizeUntilUninit) {
    copy_buffer ring("resize");
    ring.m_copy_buffer_init(kWidth, kHeight, kCopyBufferNv12);
    // Initialised again for a larger size without uninit: the old small slots stay and refuse big frames.
    ring.m_copy_buffer_init(8, 8, kCopyBufferNv12);
    std::vector<uint8_t> frame(8 * 8 * 3 / 2, 5);
    ring.m_copy_buffer_write(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(start_read(ring), 0);
    // After uninit, init allocates slots of the new size.
    ring.m_copy_buffer_uninit();
    ring.m_copy_buffer_init(8, 8, kCopyBufferNv12);
    ring.m_copy_buffer_write(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(start_read(ring), 5);
    EXPECT_EQ(ring.width(), 8);
    EXPECT_EQ(ring.format(), kCopyBufferNv12);
}

// An NV12 picture whose luma byte is 10 * row + column and whose U,V pairs are (100 + row, 200 - column).
std::vector<uint8_t> numbered_nv12(int width, int height) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture[y * width + x] = static_cast<uint8_t>(10 * y + x);
    uint8_t* uv = picture.data() + width * height;
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width; x += 2) {
            uv[y * width + x] = static_cast<uint8_t>(100 + y);
            uv[y * width + x + 1] = static_cast<uint8_t>(200 - x);
        }
    return picture;
}

// The crop writers cut the top-left ring-size rectangle; a source shorter than its frame is refused.
TEST(CopyBufferWriters, CropWritersTakeTheTopLeftRectangle) {
    const std::vector<uint8_t> frame = numbered_nv12(8, 6);
    for (bool engine : {false, true}) {
        SCOPED_TRACE(engine ? "2D engine" : "CPU");
        copy_buffer ring("crop");
        ring.m_copy_buffer_init(4, 4, kCopyBufferNv12);
        const auto write = [&](const std::vector<uint8_t>& bytes, int length, int w, int h) {
            if (engine)
                ring.m_copy_buffer_write_rga_nv12(bytes.data(), length, w, h);
            else
                ring.m_copy_buffer_write_nv12_crop(bytes.data(), length, w, h);
        };
        write(frame, static_cast<int>(frame.size()) - 1, 8, 6);  // shorter than an 8x6 picture
        uint8_t* slot = nullptr;
        EXPECT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 0);
        write(frame, static_cast<int>(frame.size()), 8, 6);
        ASSERT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 1);
        const std::vector<uint8_t> expected = {0,  1,  2,  3,  10, 11, 12, 13, 20,  21,  30,  31,
                                               32, 33, 100, 200, 100, 198, 101, 200, 101, 198};
        const std::vector<uint8_t> got = {slot[0],  slot[1],  slot[2],  slot[3],  slot[4],  slot[5],
                                          slot[6],  slot[7],  slot[8],  slot[9],  slot[12], slot[13],
                                          slot[14], slot[15], slot[16], slot[17], slot[18], slot[19],
                                          slot[20], slot[21], slot[22], slot[23]};
        EXPECT_EQ(got, expected);
        ring.m_copy_buffer_read_pop_end();
        // A frame of the ring's size is copied whole.
        const std::vector<uint8_t> same = numbered_nv12(4, 4);
        write(same, static_cast<int>(same.size()), 4, 4);
        ASSERT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 1);
        EXPECT_EQ(std::vector<uint8_t>(slot, slot + same.size()), same);
    }
}

// Limited-range red: Y 81, U 90, V 240.
std::vector<uint8_t> solid_red(const char* fourcc, int width, int height) {
    const size_t luma = static_cast<size_t>(width) * height;
    const bool nv16 = std::strcmp(fourcc, "NV16") == 0;
    std::vector<uint8_t> picture(nv16 ? luma * 2 : luma * 3 / 2, 81);
    for (size_t i = luma; i < picture.size(); i += 2) {
        picture[i] = 90;
        picture[i + 1] = 240;
    }
    return picture;
}

TEST(CopyBufferWriters, EngineWritersFillTheSlotWithConvertedPixels) {
    // "NV16" and "NV12" frames land as NV12; "RGB3" reads NV12 and lands as RGB24.
    struct Case {
        const char* fourcc;
        int ring_format;
        int frame_width;  // 64 wide = the ring's size; 96 = cropped
    };
    const Case cases[] = {
        {"NV12", kCopyBufferNv12, 64}, {"NV12", kCopyBufferNv12, 96}, {"NV16", kCopyBufferNv12, 64},
        {"NV16", kCopyBufferNv12, 96}, {"RGB3", kCopyBufferRgb24, 64}, {"RGB3", kCopyBufferRgb24, 96},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fourcc) + " " + std::to_string(c.frame_width));
        copy_buffer ring("fourcc");
        ring.m_copy_buffer_init(64, 32, c.ring_format);
        const std::vector<uint8_t> frame = solid_red(std::strcmp(c.fourcc, "NV16") == 0 ? "NV16" : "NV12",
                                                     c.frame_width, 32);
        ring.m_copy_buffer_write_rga_fourcc(frame.data(), static_cast<int>(frame.size()), c.frame_width, 32,
                                            c.fourcc);
        uint8_t* slot = nullptr;
        ASSERT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 1);
        const size_t last = 64 * 32 - 1;
        if (c.ring_format == kCopyBufferNv12) {
            EXPECT_NEAR(slot[0], 81, 1);
            EXPECT_NEAR(slot[last], 81, 1);
            EXPECT_NEAR(slot[64 * 32], 90, 1);
            EXPECT_NEAR(slot[64 * 48 - 1], 240, 1);
        } else {
            for (size_t pixel : {size_t{0}, last}) {
                EXPECT_NEAR(slot[pixel * 3], 255, 4);
                EXPECT_NEAR(slot[pixel * 3 + 1], 0, 4);
                EXPECT_NEAR(slot[pixel * 3 + 2], 0, 4);
            }
        }
    }

    // Scaled writers: NV16 to a BGR24 preview, NV12 to a smaller NV12 ring.
    copy_buffer preview("preview");
    preview.m_copy_buffer_init(32, 18, kCopyBufferRgb24);
    const std::vector<uint8_t> nv16 = solid_red("NV16", 128, 72);
    preview.m_copy_buffer_write_rga_bgr24(nv16.data(), static_cast<int>(nv16.size()), "NV16", 128, 72);
    uint8_t* slot = nullptr;
    ASSERT_EQ(preview.m_copy_buffer_read_pop_start(&slot), 1);
    EXPECT_NEAR(slot[0], 0, 4);
    EXPECT_NEAR(slot[2], 255, 4);
    copy_buffer scaled("scaled");
    scaled.m_copy_buffer_init(32, 18, kCopyBufferNv12);
    const std::vector<uint8_t> nv12 = solid_red("NV12", 128, 72);
    scaled.m_copy_buffer_write_rga_nv12_scale(nv12.data(), static_cast<int>(nv12.size()), "NV12", 128, 72);
    ASSERT_EQ(scaled.m_copy_buffer_read_pop_start(&slot), 1);
    EXPECT_NEAR(slot[0], 81, 1);
    EXPECT_NEAR(slot[32 * 18 + 1], 240, 1);

    // The tagged pair keeps the tag beside the slot.
    copy_buffer tagged("tagged");
    tagged.m_copy_buffer_init(32, 18, kCopyBufferRgb24);
    tagged.m_copy_buffer_write_rga_tagged(nv12.data(), static_cast<int>(nv12.size()), 128, 72, "NV12", "RGB3", 7);
    uint8_t tag = 0;
    ASSERT_EQ(tagged.m_copy_buffer_read_pop_start_tagged(&slot, &tag), 1);
    EXPECT_EQ(tag, 7);
    EXPECT_NEAR(slot[0], 255, 4);
}

// A write the engine cannot make leaves the slot uncommitted, so the reader never gets a stale slot.
TEST(CopyBufferWriters, FailedEngineWritesAreNotCommitted) {
    copy_buffer ring("failures");
    ring.m_copy_buffer_init(64, 32, kCopyBufferNv12);
    const std::vector<uint8_t> small = solid_red("NV12", 32, 16);
    const std::vector<uint8_t> odd = solid_red("NV12", 64, 33);
    // Frame smaller than the ring: the crop rectangle lies outside it.
    ring.m_copy_buffer_write_rga_nv12(small.data(), static_cast<int>(small.size()), 32, 16);
    ring.m_copy_buffer_write_rga_fourcc(small.data(), static_cast<int>(small.size()), 32, 16, "NV16");
    // FourCCs the writers do not handle.
    ring.m_copy_buffer_write_rga_fourcc(small.data(), static_cast<int>(small.size()), 32, 16, "YUYV");
    ring.m_copy_buffer_write_rga_bgr24(small.data(), static_cast<int>(small.size()), "NV21", 32, 16);
    // An NV12 frame of odd height.
    ring.m_copy_buffer_write_rga_nv12_scale(odd.data(), static_cast<int>(odd.size()), "NV12", 64, 33);
    uint8_t* slot = nullptr;
    EXPECT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 0);
    // The slot is still free for a good frame.
    const std::vector<uint8_t> good = solid_red("NV12", 64, 32);
    ring.m_copy_buffer_write_rga_nv12(good.data(), static_cast<int>(good.size()), 64, 32);
    EXPECT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 1);
}

// Frames stamped with a producer id and a sequence number in every word; the consumer checks each frame
// is whole (one stamp throughout) and each producer's frames come in order.
constexpr int kStressWidth = 64;
constexpr int kStressHeight = 32;
constexpr size_t kStressWords = kStressWidth * kStressHeight * 3 / 2 / 4;

void run_stress(int producers, int frames_each) {
    copy_buffer ring("stress");
    ring.m_copy_buffer_init(kStressWidth, kStressHeight, kCopyBufferNv12);
    std::atomic<int> running{producers};
    std::vector<std::thread> threads;
    for (int id = 0; id < producers; ++id) {
        threads.emplace_back([&ring, &running, id, frames_each] {
            std::vector<uint32_t> frame(kStressWords);
            for (int sequence = 1; sequence <= frames_each; ++sequence) {
                std::fill(frame.begin(), frame.end(), static_cast<uint32_t>(id) << 24 | static_cast<uint32_t>(sequence));
                if (id % 2 == 0)
                    ring.m_copy_buffer_write(frame.data(), static_cast<int>(kStressWords * 4));
                else
                    ring.m_copy_buffer_write_nv12_crop(frame.data(), static_cast<int>(kStressWords * 4), kStressWidth,
                                                       kStressHeight);
                if (sequence % 64 == 0) std::this_thread::yield();
            }
            running.fetch_sub(1);
        });
    }
    std::vector<uint32_t> last(producers, 0);
    int received = 0;
    int torn = 0;
    int out_of_order = 0;
    while (true) {
        const bool done = running.load() == 0;
        uint8_t* slot = nullptr;
        if (ring.m_copy_buffer_read_pop_start(&slot) == 1) {
            uint32_t first = 0;
            std::memcpy(&first, slot, 4);
            for (size_t i = 1; i < kStressWords; ++i) {
                uint32_t word = 0;
                std::memcpy(&word, slot + 4 * i, 4);
                if (word != first) {
                    ++torn;
                    break;
                }
            }
            const uint32_t id = first >> 24;
            const uint32_t sequence = first & 0xFFFFFF;
            if (id >= static_cast<uint32_t>(producers) || sequence <= last[id]) ++out_of_order;
            if (id < static_cast<uint32_t>(producers)) last[id] = sequence;
            ++received;
            ring.m_copy_buffer_read_pop_end();
        } else if (done) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_GT(received, 0);
    // Once the producers stop, the consumer drains the ring to the end.
    uint8_t* slot = nullptr;
    EXPECT_EQ(ring.m_copy_buffer_read_pop_start(&slot), 0);
}

TEST(CopyBufferThreads, OneProducerOneConsumer) {
    run_stress(1, 20000);
}

TEST(CopyBufferThreads, SeveralProducersAreSerialised) {
    run_stress(3, 8000);
}

}  // namespace
