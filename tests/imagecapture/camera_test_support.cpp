#include "camera_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>

#include "capture_channels.h"
#include "fixed_path.h"
#include "pause.h"
#include "uvc_probe.h"
#include "v4l2_io.h"
#include "video_dev_msg.h"
#include "videostreamerctrl.h"

namespace fs = std::filesystem;

namespace {

std::mutex g_pause_mutex;
std::vector<int64_t> g_pauses;

std::mutex g_sink_mutex;
std::vector<ReceivedFrame> g_received;

std::atomic<FakeCameraIo*> g_current_io{nullptr};
std::atomic<int> g_sink_delay_ms{0};

std::vector<uint8_t> read_bytes(const std::string& path) {
    const std::string text = read_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Runs ffmpeg with the lavfi test source; false when it fails.
bool run_ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                                "testsrc2=size=320x240:rate=30 " +
                                arguments;
    const bool ok = std::system(command.c_str()) == 0;
    EXPECT_TRUE(ok) << command;
    return ok;
}

constexpr int kMediaFrames = 6;

// The folder with the ffmpeg output: made once per build tree (each test runs in a process of its own), in
// a temporary folder renamed into place, so test processes running side by side never see half of it.
std::string media_dir() {
    static const std::string dir = [] {
        const std::string done = std::string(CAMERA_MEDIA_DIR) + "/done";
        if (fs::exists(done)) return std::string(CAMERA_MEDIA_DIR);
        fs::create_directories(fs::path(CAMERA_MEDIA_DIR).parent_path());
        std::string pattern = std::string(CAMERA_MEDIA_DIR) + ".XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return std::string();
        const std::string work = pattern;
        const bool made =
            run_ffmpeg("-frames:v " + std::to_string(kMediaFrames) + " -c:v mjpeg -q:v 5 -f image2 " + work +
                       "/f%02d.jpg") &&
            run_ffmpeg("-frames:v " + std::to_string(kMediaFrames) +
                       " -c:v libx264 -preset ultrafast -tune zerolatency -g 3 "
                       "-bsf:v h264_metadata=aud=insert -f h264 " +
                       work + "/s.h264");
        if (made) write_file(work + "/done", "");
        std::error_code error;
        fs::rename(work, CAMERA_MEDIA_DIR, error);
        // Another process was first: its folder is as good.
        if (error) fs::remove_all(work, error);
        return fs::exists(done) ? std::string(CAMERA_MEDIA_DIR) : std::string();
    }();
    return dir;
}

Frames make_jpegs() {
    Frames frames;
    const std::string dir = media_dir();
    for (int i = 1; i <= kMediaFrames && !dir.empty(); ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "/f%02d.jpg", i);
        frames.push_back(read_bytes(dir + name));
    }
    return frames;
}

// Splits an Annex B stream at its access unit delimiters (NAL type 9).
Frames split_access_units(const std::vector<uint8_t>& stream) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 0 && stream[i + 3] == 1 &&
            (stream[i + 4] & 0x1F) == 9)
            starts.push_back(i);
    Frames units;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
        units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                           stream.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return units;
}

Frames make_h264() {
    const std::string dir = media_dir();
    return dir.empty() ? Frames() : split_access_units(read_bytes(dir + "/s.h264"));
}

}  // namespace

const Frames& jpeg_frames() {
    static const Frames frames = make_jpegs();
    return frames;
}

const Frames& h264_access_units() {
    static const Frames units = make_h264();
    return units;
}

Frames yuyv_frames(int width, int height, int count) {
    Frames frames;
    for (int n = 0; n < count; ++n) {
        std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 2);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i % 2 == 0 ? (i / 2 + n) : 128);
        frames.push_back(frame);
    }
    return frames;
}

namespace {

// "../" once per folder of link's own folder below root, so a link made at link_path points at target the
// way sysfs links are relative.
std::string relative_target(const std::string& root, const std::string& link_path, const std::string& target) {
    return fs::relative(root + target, fs::path(link_path).parent_path()).string();
}

void make_link(const std::string& root, const std::string& link_path, const std::string& target) {
    fs::create_directories(fs::path(link_path).parent_path());
    std::error_code ignored;
    fs::remove(link_path, ignored);
    fs::create_symlink(relative_target(root, link_path, target), link_path);
}

// The USB device folders of usb_name ("2-1.4" -> "usb2/2-1/2-1.4") below the controller.
std::vector<std::string> usb_device_chain(const std::string& usb_name) {
    const size_t dash = usb_name.find('-');
    std::vector<std::string> chain = {"usb" + usb_name.substr(0, dash)};
    size_t dot = usb_name.find('.', dash);
    while (dot != std::string::npos) {
        chain.push_back(usb_name.substr(0, dot));
        dot = usb_name.find('.', dot + 1);
    }
    chain.push_back(usb_name);
    return chain;
}

// A platform controller shows up, with every platform device above it, on the platform bus; other
// controllers (PCI) do not.
void add_platform_links(const std::string& root, const std::string& controller) {
    const std::string platform = "/sys/devices/platform/";
    if (controller.compare(0, platform.size(), platform) != 0) return;
    const std::string rest = controller.substr(platform.size());
    std::string device = "/sys/devices/platform";
    size_t start = 0;
    while (start < rest.size()) {
        const size_t end = std::min(rest.find('/', start), rest.size());
        device += "/" + rest.substr(start, end - start);
        make_link(root, root + "/sys/bus/platform/devices/" + rest.substr(start, end - start), device);
        start = end + 1;
    }
}

}  // namespace

void add_sysfs_camera(const std::string& root, const std::string& controller, const std::string& usb_name,
                      const std::vector<int>& video_numbers) {
    const std::vector<std::string> chain = usb_device_chain(usb_name);
    std::string folder = controller;
    // The root hub and every hub on the way, each with its hub interface.
    for (size_t i = 0; i < chain.size(); ++i) {
        folder += "/" + chain[i];
        fs::create_directories(root + folder);
        if (i == 0 || i + 1 == chain.size()) continue;
        const std::string hub_interface = chain[i] + ":1.0";
        fs::create_directories(root + folder + "/" + hub_interface);
        make_link(root, root + "/sys/bus/usb/devices/" + chain[i], folder);
        make_link(root, root + "/sys/bus/usb/devices/" + hub_interface, folder + "/" + hub_interface);
    }
    make_link(root, root + "/sys/bus/usb/devices/" + chain[0], controller + "/" + chain[0]);
    const std::string interface = folder + "/" + usb_name + ":1.0";
    fs::create_directories(root + "/sys/class/video4linux");
    for (int number : video_numbers) {
        const std::string video = interface + "/video4linux/video" + std::to_string(number);
        fs::create_directories(root + video);
        make_link(root, root + "/sys/class/video4linux/video" + std::to_string(number), video);
    }
    make_link(root, root + "/sys/bus/usb/devices/" + usb_name, folder);
    make_link(root, root + "/sys/bus/usb/devices/" + usb_name + ":1.0", interface);
    add_platform_links(root, controller);
}

void remove_sysfs_camera(const std::string& root, const std::string& controller, const std::string& usb_name,
                         const std::vector<int>& video_numbers) {
    for (int number : video_numbers) fs::remove(root + "/sys/class/video4linux/video" + std::to_string(number));
    fs::remove(root + "/sys/bus/usb/devices/" + usb_name);
    fs::remove(root + "/sys/bus/usb/devices/" + usb_name + ":1.0");
    std::string folder = controller;
    for (const std::string& part : usb_device_chain(usb_name)) folder += "/" + part;
    fs::remove_all(root + folder);
}

void add_board_controllers(const std::string& root) {
    for (const char* controller : {kUsb3Controller, kUsb2Controller}) {
        fs::create_directories(root + controller);
        add_platform_links(root, controller);
    }
}

void record_pause(int64_t ms) {
    {
        std::lock_guard<std::mutex> lock(g_pause_mutex);
        g_pauses.push_back(ms);
    }
    // Long waits return at once; the millisecond keeps waiting loops from spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<int64_t> recorded_pauses() {
    std::lock_guard<std::mutex> lock(g_pause_mutex);
    return g_pauses;
}

void clear_recorded_pauses() {
    std::lock_guard<std::mutex> lock(g_pause_mutex);
    g_pauses.clear();
}

int sink_frame(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy, const VideoFormatBlock*) {
    FakeCameraIo* io = g_current_io.load();
    if (io != nullptr) ++io->callback_busy;
    ReceivedFrame received;
    received.bytes.assign(frame->data, frame->data + bytes);
    received.width = frame->width;
    received.height = frame->height;
    received.fourcc = format_copy.fourcc;
    received.bytesperline = frame->bytesperline;
    const int delay = g_sink_delay_ms.load();
    if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        // The buffer must still hold the frame: it was not unmapped or refilled under us.
        EXPECT_TRUE(std::equal(received.bytes.begin(), received.bytes.end(), frame->data));
    }
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        g_received.push_back(std::move(received));
    }
    if (io != nullptr) --io->callback_busy;
    return 1;
}

void set_sink_delay_ms(int ms) {
    g_sink_delay_ms.store(ms);
}

std::vector<ReceivedFrame> received_frames() {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    return g_received;
}

size_t received_count() {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    return g_received.size();
}

void clear_received_frames() {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_received.clear();
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
    const auto start = std::chrono::steady_clock::now();
    while (!condition()) {
        if (ms_since(start) > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void reset_capture_state() {
    for (int port = 0; port < kUvcPortCount; ++port) {
        InputVideoDevStruct* dev = &g_uvcin_videoDev[port];
        dev->kind = kDevKindUvc;
        dev->port = port;
        dev->buf_type = 1;
        dev->callback.store(nullptr);
        dev->capture_output.store(0);
        set_input_video_dev_path(dev, "");
        set_input_video_dev_format(dev, VideoFormatBlock{kFourccH264, 1920, 1080, 30, {}});
        g_uvc_timeout_err[port].store(0);
    }
    pip_channel_index[0].store(-1);
    pip_channel_index[1].store(-1);
    pip_channel_index[2].store(0);
    selected_channel_index.store(-1);
    g_UVC_from.error.store(0);
    uvc_get_h264_mjpeg_yuyv_count.store(0);
    uvc_4k_enabled.store(0);
    uvcin_video_probe_clear();
}

void CameraTest::SetUp() {
    ASSERT_FALSE(root_.path().empty());
    // Made before any thread runs.
    ASSERT_FALSE(jpeg_frames().empty());
    ASSERT_GE(h264_access_units().size(), 6u);
    set_fixed_path_root(root_.path());
    set_v4l2_io(&io_);
    g_current_io.store(&io_);
    set_pause_function(&record_pause);
    reset_capture_state();
    clear_recorded_pauses();
    clear_received_frames();
    set_sink_delay_ms(0);
}

void CameraTest::TearDown() {
    videostreamerctrl_uninit();
    for (InputVideoDevStruct& dev : g_uvcin_videoDev) hdmiin_uvc_video_uninit(&dev);
    EXPECT_EQ(io_.busy_violations(), 0) << "buffers unmapped or node closed while the capture thread used them";
    set_uvc_frame_callback(nullptr);
    set_uvc_decode_working_function(nullptr);
    reset_capture_state();
    g_current_io.store(nullptr);
    set_pause_function(nullptr);
    set_v4l2_io(nullptr);
    set_fixed_path_root("");
}

FakeCameraScript CameraTest::mjpeg_camera() {
    FakeCameraScript script;
    script.formats = {{kFourccMjpg, {{1920, 1080, {30, 15}}, {1280, 720, {30}}}}};
    script.frames = jpeg_frames();
    return script;
}

FakeCameraScript CameraTest::h264_camera() {
    FakeCameraScript script;
    script.formats = {{kFourccH264, {{1920, 1080, {30}}}}};
    script.frames = h264_access_units();
    return script;
}

void CameraTest::prepare_port(int port, const char* path, uint32_t fourcc, int width, int height, int fps) {
    InputVideoDevStruct* dev = &g_uvcin_videoDev[port];
    set_input_video_dev_path(dev, path);
    set_input_video_dev_format(dev, VideoFormatBlock{fourcc, width, height, fps, {}});
    dev->callback.store(&sink_frame);
}
