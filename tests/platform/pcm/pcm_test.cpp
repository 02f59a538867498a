// The PCM device layer over alsa-lib, on ALSA's file and null devices: what a capture reads, what a
// playback writes, the exact buffer geometry, and handles that are not ready instead of null ones.
#include "pcm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "alsa_test_devices.h"
#include "test_support.h"

namespace {

pcm_config stereo_config(unsigned period_count) {
    pcm_config config = {};
    config.channels = 2;
    config.rate = 48000;
    config.period_size = 1024;
    config.period_count = period_count;
    config.format = PCM_FORMAT_S16_LE;
    return config;
}

std::string counting_bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class PcmTest : public testing::Test {
protected:
    TempDir dir;
    AlsaTestDevices devices{dir.path()};
};

TEST_F(PcmTest, CaptureReadsTheDeviceDataInWholeBuffers) {
    const std::string content = counting_bytes(4 * 4096);
    write_file(devices.capture_file(1), content);
    const pcm_config config = stereo_config(4);
    pcm* capture = pcm_open(1, 0, PCM_IN, &config);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(pcm_is_ready(capture), 1) << pcm_get_error(capture);
    EXPECT_STREQ(pcm_get_error(capture), "");
    EXPECT_EQ(pcm_get_buffer_size(capture), 4096u);  // 1024 frames x 4 periods
    std::string read;
    std::vector<uint8_t> buffer(4096);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(pcm_read(capture, buffer.data(), static_cast<unsigned>(buffer.size())), 0);
        read.append(buffer.begin(), buffer.end());
    }
    EXPECT_TRUE(read == content);
    EXPECT_EQ(pcm_write(capture, buffer.data(), 4096), -EINVAL);  // a capture cannot be written
    EXPECT_EQ(pcm_close(capture), 0);
}

TEST_F(PcmTest, PlaybackWritesEveryWholeFrame) {
    const std::string content = counting_bytes(3 * 4096 + 2);  // the last half frame is not written
    const pcm_config config = stereo_config(4);
    pcm* playback = pcm_open(2, 0, PCM_OUT, &config);
    ASSERT_EQ(pcm_is_ready(playback), 1) << pcm_get_error(playback);
    ASSERT_EQ(pcm_write(playback, content.data(), static_cast<unsigned>(content.size())), 0);
    uint8_t byte = 0;
    EXPECT_LT(pcm_read(playback, &byte, 1), 0);  // a playback cannot be read
    EXPECT_EQ(pcm_close(playback), 0);
    EXPECT_TRUE(read_file(devices.playback_file(2)) == content.substr(0, 3 * 4096));
}

TEST_F(PcmTest, CardAndDeviceReachTheMappedDeviceName) {
    const pcm_config config = stereo_config(4);
    pcm* missing_device = pcm_open(1, 3, PCM_OUT, &config);  // mapped to "play1-no-such-device"
    ASSERT_NE(missing_device, nullptr);
    EXPECT_EQ(pcm_is_ready(missing_device), 0);
    EXPECT_NE(std::string(pcm_get_error(missing_device)).find("play1-no-such-device"), std::string::npos)
        << pcm_get_error(missing_device);
    EXPECT_EQ(pcm_get_buffer_size(missing_device), 0u);
    EXPECT_EQ(pcm_close(missing_device), 0);
    EXPECT_EQ(devices.opens(), 1);
}

TEST_F(PcmTest, ConfigurationsTheDeviceCannotTakeGiveAHandleThatIsNotReady) {
    struct Case {
        const char* what;
        pcm_config config;
        int reaches_alsa;
    };
    pcm_config bad_format = stereo_config(4);
    bad_format.format = 0xFFFFFFFFu;
    pcm_config no_channels = stereo_config(4);
    no_channels.channels = 0;
    pcm_config no_periods = stereo_config(0);
    const Case cases[] = {
        {"unknown format code", bad_format, 0},
        {"no channels", no_channels, 0},
        {"no periods", no_periods, 0},
    };
    write_file(devices.capture_file(0), counting_bytes(4096));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int opens_before = devices.opens();
        pcm* handle = pcm_open(0, 0, PCM_IN, &c.config);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(pcm_is_ready(handle), 0);
        EXPECT_STRNE(pcm_get_error(handle), "");
        uint8_t buffer[16];
        EXPECT_LT(pcm_read(handle, buffer, sizeof(buffer)), 0);
        EXPECT_EQ(pcm_close(handle), 0);
        EXPECT_EQ(devices.opens() - opens_before, c.reaches_alsa);
    }
    EXPECT_EQ(pcm_is_ready(nullptr), 0);
    EXPECT_LT(pcm_close(nullptr), 0);
}

}  // namespace
