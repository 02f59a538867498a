// The network-stream audio queue: flow control by block count, blocks of no bytes, and audio in another
// form converted to 48 kHz stereo on its way in.
#include "audio_net_streamer.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio_test_support.h"

namespace {

class NetStreamerTest : public testing::Test {
protected:
    void SetUp() override {
        object = audio_net_streamer_create(&dev);
        ASSERT_NE(object, nullptr);
        g_net_streamer_audio_dev.store(object);
    }
    void TearDown() override {
        g_net_streamer_audio_dev.store(nullptr);
        audio_net_streamer_destroy(object);
    }
    // The queued blocks, oldest first, removed from the queue.
    std::vector<std::vector<uint8_t>> take_all() {
        std::vector<std::vector<uint8_t>> blocks;
        void* item = nullptr;
        while (object->pcm_data_safequeue.TryPop(&item) == 1) {
            auto* block = static_cast<audio_pcm_block*>(item);
            blocks.emplace_back(block->bytes, block->bytes + block->size);
            audio_pcm_block_free(&item);
        }
        return blocks;
    }
    audio_dev_info dev;
    audio_net_streamer_dev_object* object = nullptr;
};

TEST_F(NetStreamerTest, AFullQueueIsEmptiedAndTheNewBlockDropped) {
    const std::vector<uint8_t> block(4096, 7);
    for (int i = 0; i < 249; ++i) ASSERT_EQ(audio_net_streamer_push_pcm(block.data(), 4096), 0);
    EXPECT_EQ(object->pcm_data_safequeue.Size(), 249);
    audio_net_streamer_push_pcm(block.data(), 4096);
    EXPECT_EQ(object->pcm_data_safequeue.Size(), 250);
    audio_net_streamer_push_pcm(block.data(), 4096);
    EXPECT_EQ(object->pcm_data_safequeue.Size(), 0);
    // And it fills again: the fill-and-empty cycle of a queue nobody takes from.
    audio_net_streamer_push_pcm(block.data(), 4096);
    EXPECT_EQ(object->pcm_data_safequeue.Size(), 1);
}

TEST_F(NetStreamerTest, BlocksKeepTheirBytesAndOrder) {
    std::vector<uint8_t> first(100, 1);
    std::vector<uint8_t> second(3000, 2);
    audio_net_streamer_push_pcm(first.data(), 100);
    audio_net_streamer_push_pcm(second.data(), 0);  // a block of no bytes still travels
    audio_net_streamer_push_pcm(second.data(), 3000);
    EXPECT_EQ(audio_net_streamer_push_pcm(second.data(), -1), -1);
    EXPECT_EQ(audio_net_streamer_push_pcm(second.data(), kNetPcmMaxBlockBytes + 1), -1);
    const auto blocks = take_all();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0], first);
    EXPECT_TRUE(blocks[1].empty());
    EXPECT_EQ(blocks[2], second);
}

TEST_F(NetStreamerTest, AudioInAnotherFormIsConvertedTo48kStereo) {
    struct Case {
        int channels;
        int rate;
        int chunk_frames;  // decoder frames of any size
    };
    const Case cases[] = {{1, 44100, 1024}, {2, 44100, 2048}, {1, 22050, 700}, {6, 48000, 1024}, {2, 96000, 1500}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " ch " << c.rate << " Hz");
        const int total_frames = c.rate;  // one second
        const std::vector<uint8_t> pcm = sine_s16(1000, c.rate, c.channels, total_frames, 8000);
        const size_t chunk = static_cast<size_t>(c.chunk_frames) * c.channels * 2;
        for (size_t offset = 0; offset < pcm.size(); offset += chunk) {
            const size_t size = std::min(chunk, pcm.size() - offset);
            ASSERT_EQ(audio_net_streamer_push_pcm_s16(pcm.data() + offset, static_cast<int>(size), c.channels, c.rate), 0);
        }
        std::vector<uint8_t> out;
        for (const auto& block : take_all()) out.insert(out.end(), block.begin(), block.end());
        // Whole input blocks of 1024 frames are converted; the rest waits for more.
        const double converted_seconds = (total_frames / 1024) * 1024.0 / c.rate;
        EXPECT_NEAR(out.size() / 4.0, converted_seconds * 48000, 100);
        const std::vector<int16_t> left = channel_of(out, 2, 0);
        const std::vector<int16_t> steady(left.begin() + 2000, left.end());
        EXPECT_NEAR(tone_frequency(steady, 48000), 1000, 10);
        if (c.channels <= 2) {
            EXPECT_NEAR(peak_level(steady), 8000, 400);
        }
    }
    EXPECT_EQ(audio_net_streamer_push_pcm_s16(nullptr, 100, 1, 44100), -1);
    uint8_t bytes[4] = {};
    EXPECT_EQ(audio_net_streamer_push_pcm_s16(bytes, 4, 9, 44100), -1);
    EXPECT_EQ(audio_net_streamer_push_pcm_s16(bytes, 4, 1, 0), -1);
}

TEST_F(NetStreamerTest, VolumeAndVectorOperations) {
    EXPECT_EQ(audio_dev_get_volume(object), 24);
    EXPECT_EQ(audio_dev_set_volume(object, 0), 0);
    EXPECT_EQ(audio_dev_set_volume(object, 38), 0);
    audio_dev_set_volume(object, 14);
    const std::vector<uint8_t> pcm = sine_s16(1000, 48000, 2, 100, 1000);
    audiovector_push(&object->pcm_vector, pcm.data(), static_cast<uint32_t>(pcm.size()));
    EXPECT_EQ(audio_dev_vector_size(object), 400u);
    std::vector<uint8_t> out(1000, 0x55);
    EXPECT_EQ(audio_dev_pop_vector_pcm_data(object, out.data(), 1000), 400);
    EXPECT_LE(peak_level(channel_of(out.data(), 400, 2, 0)), 100);
    EXPECT_EQ(out[400], 0x55);  // the volume touches only the popped bytes
    EXPECT_EQ(audio_dev_get_enabled(object), 1);
    audio_dev_set_enabled(object, 0);
    EXPECT_EQ(audio_dev_get_enabled(object), 0);
}

}  // namespace
