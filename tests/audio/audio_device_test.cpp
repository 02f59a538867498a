// Capture and playback handles on ALSA's file devices, and the channel objects whose supervisors open a
// device while it is present and enabled and release it otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alsa_test_devices.h"
#include "audio_capture.h"
#include "audio_channel_objects.h"
#include "audio_test_support.h"
#include "test_support.h"

namespace {

// Polls cond every 5 ms for up to 5 s (generous for the sanitizer builds).
bool wait_for(const std::function<bool()>& cond) {
    for (int i = 0; i < 1000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Channel objects are destroyed even when an assertion ends a test early: their supervisors must not
// outlive the descriptor on the test's stack.
using CaptureObject = std::unique_ptr<audio_capture_dev_object, decltype(&audio_capture_dev_destroy)>;
using PlayObject = std::unique_ptr<audio_play_dev_object, decltype(&audio_play_dev_destroy)>;

std::string as_string(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class AudioDeviceTest : public testing::Test {
protected:
    void describe(audio_dev_info* dev, const std::string& name, int channels, int rate) {
        dev->set_name(name);
        dev->channels.store(channels);
        dev->rate.store(rate);
        dev->format.store(kAudioFormatS16LE);
    }
    TempDir dir;
    AlsaTestDevices devices{dir.path()};
};

TEST_F(AudioDeviceTest, CaptureFillsItsBufferInWholeReads) {
    struct Case {
        int channels;
        uint32_t read_bytes;
    };
    const Case cases[] = {{1, 2048}, {2, 4096}, {4, 8192}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        const std::vector<uint8_t> content = sine_s16(1000, 48000, c.channels, 48000, 10000);
        write_file(devices.capture_file(1), as_string(content));
        audio_dev_info dev;
        describe(&dev, "hw:1,0", c.channels, 48000);
        audio_capture_handle* handle = audio_capture_init(&dev, c.channels, 0, 48000);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->transfer_buffer.size(), c.read_bytes);  // one period of 1024 frames
        ASSERT_TRUE(wait_for([&] { return audio_capture_pcm_size(handle) > 0; }));
        std::vector<uint8_t> first(c.read_bytes);
        // Whatever the read thread kept, it holds whole reads.
        EXPECT_EQ(audio_capture_pcm_size(handle) % c.read_bytes, 0u);
        EXPECT_EQ(audio_capture_pop(handle, first.data(), static_cast<int>(first.size())), static_cast<int>(c.read_bytes));
        EXPECT_EQ(audio_capture_pop(handle, first.data(), 0), 0);
        audio_capture_clear(handle);
        audio_capture_uninit(handle);
    }
}

TEST_F(AudioDeviceTest, NamesAreCheckedBeforeAlsaIsReached) {
    write_file(devices.capture_file(10), as_string(sine_s16(1000, 48000, 2, 4096, 1000)));
    audio_dev_info dev;
    describe(&dev, "hw:10,0", 2, 48000);  // seven characters
    audio_capture_handle* handle = audio_capture_init(&dev, 2, 0, 48000);
    EXPECT_NE(handle, nullptr);
    audio_capture_uninit(handle);
    const int opens = devices.opens();
    for (const char* name : {"hw:10,10", "plughw:1,0", ""}) {
        describe(&dev, name, 2, 48000);
        EXPECT_EQ(audio_capture_init(&dev, 2, 0, 48000), nullptr) << name;
        EXPECT_EQ(audio_player_init(&dev, 2, 0, 48000), nullptr) << name;
    }
    EXPECT_EQ(audio_capture_init(nullptr, 2, 0, 48000), nullptr);
    EXPECT_EQ(devices.opens(), opens);
    // A format other than S16_LE reaches the device layer and fails there.
    describe(&dev, "hw:1,0", 2, 48000);
    EXPECT_EQ(audio_capture_init(&dev, 2, kAudioFormatOther, 48000), nullptr);
}

TEST_F(AudioDeviceTest, PlayerWritesWhatIsPushedInOrder) {
    audio_dev_info dev;
    describe(&dev, "hw:2,0", 2, 48000);
    audio_player_handle* player = audio_player_init(&dev, 2, 0, 48000);
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->transfer_buffer.size(), 4096u);
    const std::vector<uint8_t> content = sine_s16(440, 48000, 2, 4096, 12000);
    // Pushed in blocks no larger than the backlog the player keeps, so nothing is dropped.
    for (size_t offset = 0; offset < content.size(); offset += 4096) {
        ASSERT_TRUE(wait_for([&] { return audiovector_size(&player->pcm_buffer) == 0; }));
        audio_player_push(player, content.data() + offset, 4096);
    }
    ASSERT_TRUE(wait_for([&] { return audiovector_size(&player->pcm_buffer) == 0; }));
    audio_player_push(player, nullptr, 4096);
    audio_player_push(player, content.data(), 0);
    audio_player_uninit(player);
    EXPECT_TRUE(read_file(devices.playback_file(2)) == as_string(content));
}

TEST_F(AudioDeviceTest, PlayerDropsABacklog) {
    audio_dev_info dev;
    describe(&dev, "hw:2,0", 2, 48000);
    audio_player_handle* player = audio_player_init(&dev, 2, 0, 48000);
    ASSERT_NE(player, nullptr);
    {
        // Holding the handle lock keeps the write thread from running while the backlog builds.
        std::lock_guard<std::mutex> lock(player->handle_mutex);
        const std::vector<uint8_t> content = sine_s16(440, 48000, 2, 8192, 12000);
        audio_player_push(player, content.data(), static_cast<int>(content.size()));
    }
    ASSERT_TRUE(wait_for([&] { return audiovector_size(&player->pcm_buffer) == 0; }));
    audio_player_uninit(player);
    EXPECT_EQ(read_file(devices.playback_file(2)).size(), 4096u);  // one write, then the rest dropped
}

TEST_F(AudioDeviceTest, SupervisorOpensWhilePresentAndEnabled) {
    write_file(devices.capture_file(3), as_string(sine_s16(1000, 48000, 2, 48000 * 4, 1000)));
    audio_dev_info dev;
    describe(&dev, "hw:3,0", 2, 48000);
    CaptureObject owner(audio_capture_dev_create(&dev), &audio_capture_dev_destroy);
    audio_capture_dev_object* object = owner.get();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(audio_capture_dev_get_enable(object), 0);
    EXPECT_EQ(audio_capture_dev_get_volume(object), 24);
    dev.present.store(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(audio_capture_dev_is_open(object), 0);  // present but not enabled
    audio_capture_dev_set_enable(object, 1);
    // A whole block is waited for: the pop below takes 4096 bytes or nothing, and the capture may have
    // delivered only part of one when the first bytes show.
    ASSERT_TRUE(wait_for([&] { return audio_capture_dev_size(object) >= 4096u; }));
    // The channel volume is applied to what is popped.
    EXPECT_EQ(audio_capture_dev_set_volume(object, 14), 14);
    EXPECT_EQ(audio_capture_dev_set_volume(object, 38), 14);
    EXPECT_EQ(audio_capture_dev_set_volume(object, 0), 0);
    audio_capture_dev_set_volume(object, 14);
    std::vector<uint8_t> block(4096);
    ASSERT_EQ(audio_capture_dev_pop(object, block.data(), 4096), 4096);
    EXPECT_LE(peak_level(channel_of(block, 2, 0)), 100);
    EXPECT_GE(peak_level(channel_of(block, 2, 0)), 90);
    dev.present.store(0);  // unplugged
    ASSERT_TRUE(wait_for([&] { return audio_capture_dev_is_open(object) == 0; }));
    EXPECT_EQ(audio_capture_dev_size(object), 0u);
    dev.present.store(1);
    ASSERT_TRUE(wait_for([&] { return audio_capture_dev_is_open(object) == 1; }));
    audio_capture_dev_set_enable(object, 0);
    ASSERT_TRUE(wait_for([&] { return audio_capture_dev_is_open(object) == 0; }));
}

TEST_F(AudioDeviceTest, PlayerObjectTakesPcmOnlyWhileItsDeviceIsPresent) {
    audio_dev_info dev;
    describe(&dev, "hw:4,0", 2, 48000);
    PlayObject owner(audio_play_dev_create(&dev), &audio_play_dev_destroy);
    audio_play_dev_object* object = owner.get();
    audio_play_dev_set_enable(object, 1);
    const std::vector<uint8_t> content = sine_s16(440, 48000, 2, 1024, 12000);
    audio_play_dev_push(object, content.data(), 4096);  // absent: dropped
    dev.present.store(1);
    ASSERT_TRUE(wait_for([&] { return audio_play_dev_is_open(object) == 1; }));
    audio_play_dev_push(object, content.data(), 4096);
    ASSERT_TRUE(wait_for([&] { return audiovector_size(&object->handle->pcm_buffer) == 0; }));
    owner.reset();
    EXPECT_TRUE(read_file(devices.playback_file(4)) == as_string(content));
}

}  // namespace
