// The whole audio road with the control thread running: detection over a fixture "/proc/asound", a USB
// camera microphone on ALSA's file device playing a sine made here, the network-stream queue, and what
// reaches the encoder PCM vector (48 kHz stereo S16, the same tone, the output volume applied).
//
// Real time: the road runs on its own threads at the microphone's pace. Every wait here is for a condition
// (a channel present, a capture file closed, bytes arrived) with a 10 s deadline, which a road that takes
// well under a second when idle meets on a loaded machine under ThreadSanitizer too. The only fixed pauses
// say "nothing more came": 200 ms without a block, where a flowing road delivers one every 64 ms or less
// (1024 frames at 16 kHz), and 100 ms after the backlog drop, which only lets a wrong result show.
#include "audio_ctrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alsa_test_devices.h"
#include "audio_dev_info.h"
#include "audio_net_streamer.h"
#include "audio_test_support.h"
#include "audio_volume.h"
#include "fixed_path.h"
#include "pause.h"
#include "test_support.h"

namespace {

const char* const kController = "xhci-hcd.9.auto";
constexpr int kUsbCard = 1;
constexpr double kTone = 1000;
constexpr double kAmplitude = 8000;

AudioUsbCamera usb3_camera() { return {true, kController}; }
void no_pause(int64_t) {}

bool wait_for(const std::function<bool()>& cond, int timeout_ms = 10000) {
    const auto start = std::chrono::steady_clock::now();
    while (!cond()) {
        if (ms_since(start) > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class AudioCtrlTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        set_fixed_path_root(dir->path());
        set_pause_function(&no_pause);
        devices = new AlsaTestDevices(dir->path());
        audio_dev_set_camera_finders(&usb3_camera, nullptr);
        write_file(dir->path() + "/sys/class/drm/card0-HDMI-A-1/status", "disconnected\n");
        write_file(dir->path() + "/proc/asound/cards", "--- no soundcards ---\n");
        ASSERT_EQ(wrenlet_audio_ctrl_all_cap_and_play_init(), 1);
        EXPECT_EQ(wrenlet_audio_ctrl_all_cap_and_play_init(), 1);  // once only
    }
    static void TearDownTestSuite() {
        wrenlet_audio_ctrl_all_cap_and_play_uninit();
        audio_net_streamer_destroy(g_net_streamer_audio_dev.exchange(nullptr));
        audio_dev_set_camera_finders(nullptr, nullptr);
        delete devices;
        set_pause_function(nullptr);
        set_fixed_path_root("");
        delete dir;
    }
    void SetUp() override {
        audio_ctrl_set_output_volume(kVolumeIndexUnity);
        audio_ctrl_set_source(kAudioChannelNetwork);
        audio_ctrl_clear_encode_pcm();
    }

    // Plugs a camera whose microphone gives `content` (channels, rate) on card 1, after unplugging the
    // previous one so the capture is opened afresh with the new form.
    void plug_usb_microphone(int channels, int rate, const std::vector<uint8_t>& content) {
        unplug_usb_microphone();
        write_file(devices->capture_file(kUsbCard), std::string(content.begin(), content.end()));
        write_file(dir->path() + "/proc/asound/card1/stream0",
                   std::string("USB Camera at usb-") + kController + "-1, high speed : USB Audio\n\nCapture:\n" +
                       "  Interface 3\n    Altset 1\n    Format: S16_LE\n    Channels: " + std::to_string(channels) +
                       "\n    Rates: " + std::to_string(rate) + "\n");
        write_file(dir->path() + "/proc/asound/cards", " 1 [Camera         ]: USB-Audio - USB Camera\n");
        ASSERT_TRUE(wait_for([&] {
            return audio_ctrl_channel_present(kAudioChannelUvc) == 1 && audio_ctrl_channel_rate(kAudioChannelUvc) == rate &&
                   wrenlet_audio_capture_dev_get_channel(kAudioChannelUvc) == channels;
        }));
    }
    void unplug_usb_microphone() {
        write_file(dir->path() + "/proc/asound/cards", "--- no soundcards ---\n");
        ASSERT_TRUE(wait_for([] { return audio_ctrl_channel_present(kAudioChannelUvc) == 0; }));
        // The channel supervisor releases the capture within its 100 ms period, much later on a busy machine
        // under a sanitizer; a plug before that would find the old capture still open. Released means its
        // file is closed.
        const std::string capture = devices->capture_file(kUsbCard);
        ASSERT_TRUE(wait_for([&] { return !open_in_this_process(capture); })) << capture << " stays open";
    }
    // True while a descriptor of this process refers to the file at `path`.
    static bool open_in_this_process(const std::string& path) {
        std::error_code error;
        const std::filesystem::path file = std::filesystem::canonical(path, error);
        if (error) return false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            std::error_code link_error;
            if (std::filesystem::read_symlink(entry.path(), link_error) == file) return true;
        }
        return false;
    }
    // Takes bytes from the encoder vector, as the encode thread does, until `bytes` were taken.
    static std::vector<uint8_t> take_encoded(size_t bytes) {
        std::vector<uint8_t> taken;
        std::vector<uint8_t> buffer(4096);
        wait_for([&] {
            int n;
            while ((n = audio_ctrl_pop_encode_pcm(buffer.data(), static_cast<int>(buffer.size()))) > 0)
                taken.insert(taken.end(), buffer.begin(), buffer.begin() + n);
            return taken.size() >= bytes;
        });
        return taken;
    }
    // Checks 48 kHz stereo S16 of the test tone at the expected level, both channels alike.
    static void expect_tone(const std::vector<uint8_t>& pcm, double level) {
        const std::vector<int16_t> left = channel_of(pcm, 2, 0);
        const std::vector<int16_t> right = channel_of(pcm, 2, 1);
        ASSERT_GT(left.size(), 4000u);
        EXPECT_EQ(left, right);
        const std::vector<int16_t> steady(left.begin() + 2000, left.end());
        EXPECT_NEAR(tone_frequency(steady, 48000), kTone, kTone * 0.02);
        EXPECT_NEAR(rms_level(steady), level / std::sqrt(2.0), level / std::sqrt(2.0) * 0.05);
    }

    static TempDir* dir;
    static AlsaTestDevices* devices;
};
TempDir* AudioCtrlTest::dir = nullptr;
AlsaTestDevices* AudioCtrlTest::devices = nullptr;

TEST_F(AudioCtrlTest, UsbMicrophoneAt44kMonoReachesTheEncoderAs48kStereo) {
    plug_usb_microphone(1, 44100, sine_s16(kTone, 44100, 1, 44100 * 20, kAmplitude));
    audio_ctrl_set_output_volume(21);  // -6 dB
    audio_ctrl_clear_encode_pcm();
    audio_ctrl_set_source(kAudioChannelUvc);
    const std::vector<uint8_t> pcm = take_encoded(48000 * 4 / 2);  // half a second
    expect_tone(pcm, kAmplitude * audio_volume_gains[21]);
}

TEST_F(AudioCtrlTest, UsbMicrophoneAt48kStereoPassesUnchanged) {
    const std::vector<uint8_t> content = sine_s16(kTone, 48000, 2, 48000 * 10, kAmplitude);
    plug_usb_microphone(2, 48000, content);
    audio_ctrl_clear_encode_pcm();
    audio_ctrl_set_source(kAudioChannelUvc);
    const std::vector<uint8_t> pcm = take_encoded(64 * 4096);
    // Every 4096-byte block is a block of the microphone, in order (a capture backlog may drop some).
    size_t at = 0;
    for (size_t offset = 0; offset + 4096 <= pcm.size(); offset += 4096) {
        while (at + 4096 <= content.size() && !std::equal(pcm.begin() + static_cast<long>(offset),
                                                            pcm.begin() + static_cast<long>(offset + 4096),
                                                            content.begin() + static_cast<long>(at)))
            at += 4096;
        ASSERT_LT(at, content.size()) << "block at " << offset << " is not the microphone's next block";
        at += 4096;
    }
    expect_tone(pcm, kAmplitude);
}

TEST_F(AudioCtrlTest, UnpluggedMicrophoneStopsTheRoadAndAReplugStartsIt) {
    plug_usb_microphone(1, 16000, sine_s16(kTone, 16000, 1, 16000 * 20, kAmplitude));
    audio_ctrl_set_source(kAudioChannelUvc);
    ASSERT_FALSE(take_encoded(4096).empty());
    // The open capture holds its file: its release below is seen as the file closing.
    ASSERT_TRUE(open_in_this_process(devices->capture_file(kUsbCard)));
    unplug_usb_microphone();
    // The channel supervisor releases the capture and empties the channel (later than usual on a busy machine).
    EXPECT_TRUE(wait_for([] { return audio_ctrl_channel_pcm_size(kAudioChannelUvc) == 0u; }));
    // A block the audio thread took before the unplug may still land after a clear (slowly, under a
    // sanitizer): clear until a quiet 200 ms passes; a road that keeps flowing never gets one.
    bool quiet = false;
    for (int attempt = 0; attempt < 10 && !quiet; ++attempt) {
        audio_ctrl_clear_encode_pcm();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        quiet = audio_ctrl_encode_pcm_size() == 0;
    }
    EXPECT_TRUE(quiet);
    // 16 kHz mono: one block grows threefold and more on its way to 48 kHz stereo.
    plug_usb_microphone(1, 16000, sine_s16(kTone, 16000, 1, 16000 * 20, kAmplitude));
    audio_ctrl_clear_encode_pcm();
    expect_tone(take_encoded(48000 * 4 / 2), kAmplitude);
}

TEST_F(AudioCtrlTest, NetworkAudioAt44kMonoReachesTheEncoderAs48kStereo) {
    audio_ctrl_set_output_volume(18);
    const std::vector<uint8_t> pcm = sine_s16(kTone, 44100, 1, 1024 * 40, kAmplitude);
    for (size_t offset = 0; offset < pcm.size(); offset += 2048)
        ASSERT_EQ(audio_net_streamer_push_pcm_s16(pcm.data() + offset, 2048, 1, 44100), 0);
    expect_tone(take_encoded(36000 * 4), kAmplitude * audio_volume_gains[18]);
}

TEST_F(AudioCtrlTest, NetworkBlocksArriveInOrderAndABacklogIsDropped) {
    std::vector<uint8_t> expected;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> block(4096);
        for (size_t b = 0; b < block.size(); ++b) block[b] = static_cast<uint8_t>(i * 31 + b);
        audio_net_streamer_push_pcm(block.data(), 4096);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    EXPECT_TRUE(take_encoded(expected.size()) == expected);

    audio_net_streamer_dev_object* net = g_net_streamer_audio_dev.load();
    const std::vector<uint8_t> block(4096, 1);
    audio_ctrl_clear_encode_pcm();
    for (int i = 0; i < 150; ++i) audio_net_streamer_push_pcm(block.data(), 4096);
    ASSERT_TRUE(wait_for([&] { return net->pcm_data_safequeue.Size() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Dropped, not drained: whenever the drop came (after the pushes, or during them once more than 100
    // waited), fewer than 50 of the 150 blocks were played.
    EXPECT_LT(audio_ctrl_encode_pcm_size(), 50u * 4096);
}

TEST_F(AudioCtrlTest, SourceSelectionAndVolumes) {
    audio_net_streamer_dev_object* net = g_net_streamer_audio_dev.load();
    audio_ctrl_set_source(kAudioChannelUvc);
    const std::vector<uint8_t> block(4096, 1);
    for (int i = 0; i < 5; ++i) audio_net_streamer_push_pcm(block.data(), 4096);
    EXPECT_EQ(net->pcm_data_safequeue.Size(), 5);  // nobody takes them while 3 is selected
    audio_ctrl_set_source(kAudioChannelNetwork);
    EXPECT_EQ(net->pcm_data_safequeue.Size(), 0);  // selecting 4 empties the queue first
    EXPECT_EQ(audio_ctrl_get_source(), kAudioChannelNetwork);

    EXPECT_EQ(audio_ctrl_set_output_volume(30), 30);
    EXPECT_EQ(audio_ctrl_set_output_volume(0), 30);
    EXPECT_EQ(audio_ctrl_set_output_volume(38), 30);
    EXPECT_EQ(audio_ctrl_get_output_volume(), 30);
    EXPECT_EQ(audio_ctrl_set_channel_volume(kAudioChannelMic, 0), 0);
    EXPECT_EQ(audio_ctrl_set_channel_volume(kAudioChannelMic, 38), 0);
    EXPECT_EQ(audio_ctrl_set_channel_volume(kAudioChannelMic, 24), 24);
    EXPECT_EQ(audio_ctrl_set_channel_volume(5, 10), 0);
    EXPECT_EQ(audio_ctrl_get_channel_volume(kAudioChannelNetwork), 24);

    EXPECT_EQ(audio_ctrl_channel_present(kAudioChannelNetwork), 1);
    EXPECT_EQ(audio_ctrl_channel_present(kAudioChannelHdmiIn), 0);
    EXPECT_EQ(audio_ctrl_channel_present(0), 0);
    EXPECT_EQ(audio_ctrl_player_present(1), 0);  // HDMI monitor disconnected
    EXPECT_EQ(audio_ctrl_player_present(2), 0);  // never created
    EXPECT_EQ(audio_ctrl_channel_format(kAudioChannelNetwork), 0);
    EXPECT_EQ(audio_ctrl_channel_format(7), -1);
    EXPECT_EQ(audio_ctrl_channel_rate(kAudioChannelNetwork), 48000);
    EXPECT_EQ(audio_ctrl_out_channels(), 2);
    EXPECT_EQ(audio_ctrl_out_rate(), 48000);

    // The encoder vector reports its count in full width.
    std::vector<uint8_t> big(70000, 0);
    audio_ctrl_set_source(0);
    audio_ctrl_clear_encode_pcm();
    audio_ctrl_push_encode_pcm(big.data(), 70000);
    EXPECT_EQ(audio_ctrl_encode_pcm_size(), 70000u);
    audio_ctrl_clear_encode_pcm();

    EXPECT_EQ(audio_ctrl_set_mix(1, 1, 0, 0.5f, 0.2f, 1.5f), -1);
    EXPECT_EQ(audio_ctrl_get_mix(1), 0);
    EXPECT_EQ(audio_ctrl_set_mix(0, 1, 1, 0.5f, 0.2f, 0.7f), 1);
    EXPECT_EQ(audio_ctrl_get_mix(3), 1);
    EXPECT_FLOAT_EQ(audio_ctrl_get_mix_weight(1), 0.0f);
    EXPECT_FLOAT_EQ(audio_ctrl_get_mix_weight(2), 0.2f);
    EXPECT_FLOAT_EQ(audio_ctrl_get_mix_weight(3), 0.7f);
    audio_ctrl_mix_off();
    EXPECT_EQ(audio_ctrl_get_mix(3), 0);
}

TEST_F(AudioCtrlTest, MixModeCarriesTheMicrophoneAtItsWeight) {
    plug_usb_microphone(2, 48000, sine_s16(kTone, 48000, 2, 48000 * 10, kAmplitude));
    audio_ctrl_set_source(kAudioChannelUvc);
    ASSERT_EQ(audio_ctrl_set_mix(0, 1, 0, 0.0f, 0.0f, 0.5f), 1);
    audio_ctrl_clear_encode_pcm();
    const std::vector<uint8_t> pcm = take_encoded(48000 * 4 / 2);
    audio_ctrl_mix_off();
    expect_tone(pcm, kAmplitude * 0.5);
}

}  // namespace
