#include "ndi_source_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "ndi_find_sources.h"
#include "ndi_test_support.h"

namespace ndi_source {

bool make_media(const std::string& folder, Media* out, int frames, int width, int height, bool with_audio, bool hevc,
                const std::string& pattern) {
    Media media;
    media.hevc = hevc;
    media.video = folder + (hevc ? "/source.h265" : "/source.h264");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string codec =
        hevc ? "-c:v libx265 -x265-params keyint=15:min-keyint=15:scenecut=0:bframes=0:log-level=error"
             : "-c:v libx264 -bf 0 -x264-params keyint=15:min-keyint=15:scenecut=0";
    if (!ndi_test::ffmpeg("-f lavfi -i " + pattern + "=size=" + size + ":rate=30 -frames:v " + std::to_string(frames) +
                          " " + codec + " -pix_fmt yuv420p " + media.video)) {
        return false;
    }
    if (with_audio) {
        media.audio = folder + "/source.aac";
        if (!ndi_test::ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=48000 -f lavfi -i "
                              "sine=frequency=880:sample_rate=48000 -filter_complex amerge=inputs=2 -t 2 -c:a aac " +
                              media.audio)) {
            return false;
        }
    }
    *out = media;
    return true;
}

SenderProcess::SenderProcess(const std::string& root, const std::string& name, const Media& media, int fps) {
    std::vector<std::string> args = {std::string(NDI_TOOLS_DIR) + "/ndi_send_file", "--root", root, "--name", name,
                                     "--video", media.video, "--fps", std::to_string(fps), "--loop"};
    if (media.hevc) args.push_back("--hevc");
    if (!media.audio.empty()) {
        args.push_back("--audio");
        args.push_back(media.audio);
    }
    pid_ = fork();
    if (pid_ == 0) {
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

SenderProcess::~SenderProcess() { stop(); }

void SenderProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool discover(const std::string& name, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        NdiSourceInfo* table = nullptr;
        uint32_t count = 0;
        ndi_find_sources(&table, &count, 3);
        for (const NdiSourceInfo& entry : ndi_find_copy_sources()) {
            if (name == entry.name && entry.fourcc != 0) return true;
        }
    }
    return false;
}

}  // namespace ndi_source
