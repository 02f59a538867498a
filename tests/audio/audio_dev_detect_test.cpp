// Sound-card detection over fixture trees of the kernel's card list, stream descriptions and the HDMI
// connector status, read through the fixed-path root.
#include "audio_dev_info.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "fixed_path.h"
#include "test_support.h"

namespace {

const char* const kUsb3Controller = "xhci-hcd.9.auto";
const char* const kUsb2Controller = "fe380000.usb";

// What the camera finders report to detection in these tests.
bool g_usb3_camera = false;
bool g_usb2_camera = false;
AudioUsbCamera usb3_camera() { return {g_usb3_camera, kUsb3Controller}; }
AudioUsbCamera usb2_camera() { return {g_usb2_camera, kUsb2Controller}; }

std::string card_line(int card, const char* pattern) {
    return " " + std::to_string(card) + pattern + "\n                      description\n";
}

std::string usb_card_line(int card) {
    return " " + std::to_string(card) + " [Camera         ]: USB-Audio - USB Camera\n                      USB at usb-" +
           std::string(kUsb3Controller) + "-1, high speed\n";
}

std::string stream0(const std::string& controller, const std::string& altsets) {
    return "Generic USB Camera at usb-" + controller + "-1.2, high speed : USB Audio\n\nCapture:\n  Status: Stop\n" + altsets;
}

std::string altset(int number, const std::string& format, int channels, const std::string& rates) {
    return "  Interface 3\n    Altset " + std::to_string(number) + "\n    Format: " + format + "\n    Channels: " +
           std::to_string(channels) + "\n    Endpoint: 0x84 (4 IN) (ASYNC)\n    Rates: " + rates + "\n";
}

class AudioDevDetectTest : public testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(dir.path());
        audio_dev_reset_descriptors();
        audio_dev_set_camera_finders(&usb3_camera, &usb2_camera);
        g_usb3_camera = false;
        g_usb2_camera = false;
    }
    void TearDown() override {
        audio_dev_set_camera_finders(nullptr, nullptr);
        audio_dev_reset_descriptors();
        set_fixed_path_root("");
    }
    void cards(const std::string& text) { write_file(dir.path() + "/proc/asound/cards", text); }
    void stream(int card, const std::string& text) {
        write_file(dir.path() + "/proc/asound/card" + std::to_string(card) + "/stream0", text);
    }
    void hdmi_status(const std::string& text) {
        write_file(dir.path() + "/sys/class/drm/card0-HDMI-A-1/status", text);
    }
    TempDir dir;
};

struct Presence {
    int hdmiin, mic, uvc, hdmiout, lineout;
    bool operator==(const Presence& o) const {
        return hdmiin == o.hdmiin && mic == o.mic && uvc == o.uvc && hdmiout == o.hdmiout && lineout == o.lineout;
    }
};
std::ostream& operator<<(std::ostream& os, const Presence& p) {
    return os << "hdmiin " << p.hdmiin << " mic " << p.mic << " uvc " << p.uvc << " hdmiout " << p.hdmiout
              << " lineout " << p.lineout;
}
Presence presence() {
    return {audio_dev_get_hdmiin()->present.load(), audio_dev_get_mic()->present.load(),
            audio_dev_get_uvc()->present.load(), audio_dev_get_hdmiout()->present.load(),
            audio_dev_get_lineout()->present.load()};
}

TEST_F(AudioDevDetectTest, CardListsGiveTheRolesTheirNamesAndPresence) {
    struct Case {
        const char* what;
        std::string cards;
        const char* hdmi_status;  // nullptr: no status file
        bool usb3_camera;
        Presence expected;
        const char* hdmiout_name;
        const char* mic_name;
        const char* uvc_name;
    };
    const std::string usb_stream = stream0(kUsb3Controller, altset(1, "S16_LE", 1, "16000"));
    const Case cases[] = {
        {"no card", "--- no soundcards ---\n", "disconnected\n", false, {0, 0, 0, 0, 0}, "", "", ""},
        {"HDMI output connected", card_line(0, kCardPatternHdmiOut), "connected\n", false, {0, 0, 0, 1, 0}, "hw:0,0",
         "", ""},
        {"HDMI output disconnected", card_line(0, kCardPatternHdmiOut), "disconnected\n", false, {0, 0, 0, 0, 0}, "",
         "", ""},
        {"HDMI monitor without a card line", card_line(1, kCardPatternEs8388), "connected\n", false,
         {0, 1, 0, 1, 1}, "", "hw:1,0", ""},
        {"no connector status file counts as connected", card_line(2, kCardPatternHdmiOut), nullptr, false,
         {0, 0, 0, 1, 0}, "hw:2,0", "", ""},
        {"codec at card 1", card_line(1, kCardPatternEs8388), "disconnected", false, {0, 1, 0, 0, 1}, "", "hw:1,0", ""},
        {"USB microphone of the camera", usb_card_line(3), "disconnected", true, {0, 0, 1, 0, 0}, "", "", "hw:3,0"},
        {"USB sound card but no camera", usb_card_line(3), "disconnected", false, {0, 0, 0, 0, 0}, "", "", ""},
        {"several cards", card_line(0, kCardPatternHdmiIn) + card_line(1, kCardPatternHdmiOut) +
                              card_line(2, kCardPatternEs8388) + usb_card_line(3),
         "connected", true, {0, 1, 1, 1, 1}, "hw:1,0", "hw:2,0", "hw:3,0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        audio_dev_reset_descriptors();
        std::filesystem::remove_all(dir.path() + "/sys");
        cards(c.cards);
        if (c.hdmi_status != nullptr) hdmi_status(c.hdmi_status);
        stream(3, usb_stream);
        g_usb3_camera = c.usb3_camera;
        ASSERT_TRUE(audio_dev_detect_pass());
        EXPECT_EQ(presence(), c.expected);
        EXPECT_EQ(audio_dev_get_hdmiout()->name(), c.hdmiout_name);
        EXPECT_EQ(audio_dev_get_mic()->name(), c.mic_name);
        EXPECT_EQ(audio_dev_get_lineout()->name(), c.mic_name);
        EXPECT_EQ(audio_dev_get_uvc()->name(), c.uvc_name);
        EXPECT_EQ(audio_dev_get_hdmiin()->name(), "");  // the HDMI input's status thread never runs
    }
}

TEST_F(AudioDevDetectTest, UsbMicrophoneNeedsTheCamerasControllerInItsStreamFile) {
    cards(usb_card_line(4));
    hdmi_status("disconnected");
    stream(4, stream0("other-controller", altset(1, "S16_LE", 2, "48000")));
    g_usb2_camera = true;  // the USB2 camera is looked for when no USB3 camera is there
    ASSERT_TRUE(audio_dev_detect_pass());
    EXPECT_EQ(audio_dev_get_uvc()->present.load(), 0);
    stream(4, stream0(kUsb2Controller, altset(1, "S16_LE", 2, "44100, 48000")));
    ASSERT_TRUE(audio_dev_detect_pass());
    EXPECT_EQ(audio_dev_get_uvc()->present.load(), 1);
    EXPECT_EQ(audio_dev_get_uvc()->name(), "hw:4,0");
    // Unplugged: absent again, the name stays.
    cards("--- no soundcards ---\n");
    ASSERT_TRUE(audio_dev_detect_pass());
    EXPECT_EQ(audio_dev_get_uvc()->present.load(), 0);
    EXPECT_EQ(audio_dev_get_uvc()->name(), "hw:4,0");
}

TEST_F(AudioDevDetectTest, MissingCardListKeepsTheDescriptors) {
    cards(card_line(1, kCardPatternEs8388));
    ASSERT_TRUE(audio_dev_detect_pass());
    std::filesystem::remove(dir.path() + "/proc/asound/cards");
    EXPECT_FALSE(audio_dev_detect_pass());
    EXPECT_EQ(audio_dev_get_mic()->present.load(), 1);
    EXPECT_EQ(audio_dev_get_net_streamer()->present.load(), 1);
}

TEST_F(AudioDevDetectTest, StreamFilesGiveChannelsFormatAndRate) {
    struct Case {
        const char* what;
        std::string altsets;
        int channels;
        uint32_t format;
        int rate;
    };
    const Case cases[] = {
        {"16000 and 32000", altset(1, "S16_LE", 1, "16000, 32000"), 1, kAudioFormatS16LE, 16000},
        {"44100 and 48000", altset(1, "S16_LE", 2, "44100, 48000"), 2, kAudioFormatS16LE, 48000},
        {"44100 only", altset(1, "S16_LE", 1, "44100"), 1, kAudioFormatS16LE, 44100},
        {"96 kHz", altset(1, "S16_LE", 4, "96000"), 4, kAudioFormatS16LE, 96000},
        {"first rate not a number", altset(1, "S24_3LE", 2, "unknown, 16000"), 2, kAudioFormatOther, 8000},
        {"absurd rate", altset(1, "S16_LE", 2, "99999999999"), 2, kAudioFormatS16LE, 8000},
        {"two altsets keep the first", altset(1, "S16_LE", 1, "16000") + altset(2, "S24_3LE", 2, "32000"), 1,
         kAudioFormatS16LE, 16000},
        {"three altsets keep the second",
         altset(1, "S16_LE", 1, "16000") + altset(2, "S24_3LE", 2, "32000") + altset(3, "S16_LE", 6, "8000"), 2,
         kAudioFormatOther, 32000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        audio_dev_info dev;
        stream(5, stream0(kUsb3Controller, c.altsets));
        EXPECT_EQ(audio_dev_parse_stream0(5, &dev), 0);
        EXPECT_EQ(dev.channels.load(), c.channels);
        EXPECT_EQ(dev.format.load(), c.format);
        EXPECT_EQ(dev.rate.load(), c.rate);
    }
    audio_dev_info untouched;
    untouched.rate.store(12345);
    EXPECT_EQ(audio_dev_parse_stream0(6, &untouched), 0);  // no stream file
    EXPECT_EQ(untouched.rate.load(), 12345);
    EXPECT_EQ(audio_dev_parse_stream0(-2, &untouched), -2);
    EXPECT_EQ(audio_dev_format_code("S16_LE"), kAudioFormatS16LE);
    EXPECT_EQ(audio_dev_format_code("S16_BE"), kAudioFormatOther);
}

TEST_F(AudioDevDetectTest, HdmiConnectorStatus) {
    EXPECT_EQ(hdmiout_is_connect(), 1);  // no file
    hdmi_status("");
    EXPECT_EQ(hdmiout_is_connect(), 1);
    hdmi_status("connected\n");
    EXPECT_EQ(hdmiout_is_connect(), 1);
    hdmi_status("disconnected\n");
    EXPECT_EQ(hdmiout_is_connect(), 0);
}

TEST_F(AudioDevDetectTest, DetectionThreadFollowsTheCardsAndStops) {
    cards(card_line(1, kCardPatternEs8388));
    ASSERT_EQ(audio_dev_detect_init(), 1);
    EXPECT_EQ(audio_dev_detect_init(), -1);
    for (int i = 0; i < 300 && audio_dev_get_mic()->present.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(audio_dev_get_mic()->present.load(), 1);
    cards("--- no soundcards ---\n");
    for (int i = 0; i < 300 && audio_dev_get_mic()->present.load() == 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(audio_dev_get_mic()->present.load(), 0);
    audio_dev_detect_uninit();
    EXPECT_EQ(audio_hdmiin_status_start(), -1);  // no HDMI receiver device
    EXPECT_EQ(audio_hdmiin_signal_flag(), 0);
}

}  // namespace
