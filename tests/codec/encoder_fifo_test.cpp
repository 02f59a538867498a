// The encoder's four-slot input FIFO: admission and read rules as sequences, the length check, and a producer
// and the reader at full speed (run under TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "encoder_fifo.h"

namespace {

constexpr size_t kSlotBytes = 16;

class EncoderFifoTest : public ::testing::Test {
protected:
    void SetUp() override {
        uint8_t* slots[kEncoderFifoSlots];
        for (int i = 0; i < kEncoderFifoSlots; ++i) slots[i] = memory_[i];
        ASSERT_EQ(fifo_.init(slots, kSlotBytes), 1);
    }

    int put(int number) {
        std::vector<uint8_t> frame(kSlotBytes, static_cast<uint8_t>(number));
        return fifo_.put(frame.data(), frame.size());
    }
    // The frame number get hands out, 0 when it hands out nothing.
    int get() {
        int slot = fifo_.get();
        return slot < 0 ? 0 : fifo_.slot(slot)[0];
    }

    uint8_t memory_[kEncoderFifoSlots][kSlotBytes] = {};
    EncoderInputFifo fifo_;
};

// 'P' puts frame `value` and expects `result`; 'G' expects get to hand out frame `value` (0: none); 'R' releases.
struct Step {
    char op;
    int value;
    int result;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

TEST_F(EncoderFifoTest, PutGetReleaseSequences) {
    const Sequence sequences[] = {
        {"empty FIFO hands out nothing; frames come out in order",
         {{'G', 0, 0}, {'P', 1, 1}, {'P', 2, 1}, {'G', 1, 0}, {'R', 0, 0}, {'G', 2, 0}, {'R', 0, 0}, {'G', 0, 0}}},
        {"full at three waiting: the fourth put is refused",
         {{'P', 1, 1}, {'P', 2, 1}, {'P', 3, 1}, {'P', 4, -1}, {'G', 1, 0}, {'P', 4, -1}, {'R', 0, 0}, {'P', 4, 1},
          {'G', 2, 0}, {'R', 0, 0}, {'G', 3, 0}, {'R', 0, 0}, {'G', 4, 0}}},
        {"a second get while a read is open hands out nothing",
         {{'P', 1, 1}, {'P', 2, 1}, {'G', 1, 0}, {'G', 0, 0}, {'R', 0, 0}, {'G', 2, 0}}},
        {"release without a read changes nothing",
         {{'R', 0, 0}, {'P', 1, 1}, {'R', 0, 0}, {'G', 1, 0}, {'R', 0, 0}, {'G', 0, 0}}},
        {"the slot open for reading is never written",
         {{'P', 1, 1}, {'P', 2, 1}, {'P', 3, 1}, {'G', 1, 0}, {'P', 9, -1}, {'R', 0, 0}, {'P', 4, 1}, {'G', 2, 0},
          {'R', 0, 0}, {'G', 3, 0}, {'R', 0, 0}, {'G', 4, 0}}},
        {"the FIFO keeps going round",
         {{'P', 1, 1}, {'G', 1, 0}, {'R', 0, 0}, {'P', 2, 1}, {'G', 2, 0}, {'R', 0, 0}, {'P', 3, 1}, {'G', 3, 0},
          {'R', 0, 0}, {'P', 4, 1}, {'G', 4, 0}, {'R', 0, 0}, {'P', 5, 1}, {'P', 6, 1}, {'G', 5, 0}, {'R', 0, 0},
          {'G', 6, 0}}},
    };
    for (const Sequence& sequence : sequences) {
        SetUp();
        for (size_t i = 0; i < sequence.steps.size(); ++i) {
            const Step& step = sequence.steps[i];
            switch (step.op) {
                case 'P': EXPECT_EQ(put(step.value), step.result) << sequence.name << ", step " << i; break;
                case 'G': EXPECT_EQ(get(), step.value) << sequence.name << ", step " << i; break;
                default: fifo_.release(); break;
            }
        }
    }
}

TEST_F(EncoderFifoTest, RefusesFramesItCannotHold) {
    std::vector<uint8_t> frame(kSlotBytes + 1, 7);
    EXPECT_EQ(fifo_.put(frame.data(), kSlotBytes + 1), -1);  // longer than a slot
    EXPECT_EQ(fifo_.put(nullptr, kSlotBytes), -1);
    EXPECT_EQ(fifo_.put(frame.data(), 0), -1);
    EXPECT_EQ(fifo_.waiting(), 0u);
    EXPECT_EQ(fifo_.put(frame.data(), kSlotBytes), 1);

    // After a reset the slots are gone: nothing is written until the next init.
    fifo_.reset();
    EXPECT_EQ(fifo_.put(frame.data(), 1), -1);
    EXPECT_EQ(fifo_.get(), -1);
    uint8_t* missing[kEncoderFifoSlots] = {memory_[0], memory_[1], nullptr, memory_[3]};
    EXPECT_EQ(fifo_.init(missing, kSlotBytes), -1);
    EXPECT_EQ(fifo_.put(frame.data(), 1), -1);
}

// Every frame the reader gets is whole and in order; under TSan this also proves the hand-over is race-free.
TEST_F(EncoderFifoTest, ProducerAndReaderAtFullSpeed) {
    constexpr int kFrames = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        uint8_t frame[kSlotBytes];
        for (int n = 1; n <= kFrames;) {
            std::memset(frame, n & 0xFF, sizeof(frame));
            if (fifo_.put(frame, sizeof(frame)) == 1) {
                ++n;
            } else {
                std::this_thread::yield();
            }
        }
        done = true;
    });
    int expected = 1;
    while (expected <= kFrames) {
        int slot = fifo_.get();
        if (slot < 0) {
            std::this_thread::yield();
            continue;
        }
        const uint8_t* bytes = fifo_.slot(slot);
        for (size_t i = 0; i < kSlotBytes; ++i) ASSERT_EQ(bytes[i], expected & 0xFF) << "frame " << expected;
        fifo_.release();
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(fifo_.waiting(), 0u);
}

}  // namespace
