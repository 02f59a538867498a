// The NDI input's watchdog with the real NDI pull thread: a source (a sender process fed with an ffmpeg-made
// H.264 stream) vanishes and returns, and the input comes back by itself. Once the input decodes, the
// watchdog's 120 one-second ticks and the pull thread's 2 s pause run through the pause seam, twenty times
// faster.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "active_source.h"
#include "config_ctrl.h"
#include "ctrl_dispatcher.h"
#include "ndi_pull0.h"
#include "ndi_pull_thread.h"
#include "ndi_source_fixture.h"
#include "ndi_test_support.h"
#include "pause.h"
#include "preview_link.h"
#include "preview_listener.h"
#include "pull_threads.h"

namespace {

constexpr const char* kSourceName = "WATCHED SOURCE";

void fast_pause(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / 20));
}

std::mutex g_restart_mutex;
std::vector<std::string> g_restarts;

void recording_restart(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(g_restart_mutex);
        g_restarts.push_back(name);
    }
    start_pull_ndi_thread_named(name);
}

size_t restarts() {
    std::lock_guard<std::mutex> lock(g_restart_mutex);
    return g_restarts.size();
}

TEST(NdiWatchdogReconnect, ASourceThatVanishesAndReturnsIsReopenedByTheWatchdog) {
    pull_threads::start_opencv_pool();
    ndi_test::ScopedRegistry registry;
    ndi_source::Media media;
    ASSERT_TRUE(ndi_source::make_media(registry.root(), &media, 60, 320, 240, false));
    auto sender = std::make_unique<ndi_source::SenderProcess>(registry.root(), kSourceName, media);
    ASSERT_TRUE(ndi_source::discover(kSourceName, 30000));

    config_ctrl::instance()->cfg_common.ndi_pull_name = kSourceName;
    set_ndi_pull0_restart_function(recording_restart);
    set_active_source(kInputCamera);
    corvane_ndi_pull0_init();
    PreviewListener listener;
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Ndi).Connect(kPreviewHost, kNdiPreviewPort), 1);

    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    ASSERT_TRUE(ndi_test::wait_until([&] { return listener.count() >= 3; }, 30000)) << "decoding";
    set_pause_function(fast_pause);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(restarts(), 0u) << "a decoding source keeps the watchdog quiet";

    sender->stop();
    ASSERT_TRUE(ndi_test::wait_until([] { return restarts() >= 1; }, 60000)) << "the watchdog fired";
    const size_t before_return = listener.count();
    sender = std::make_unique<ndi_source::SenderProcess>(registry.root(), kSourceName, media);
    EXPECT_TRUE(ndi_test::wait_until([&] { return listener.count() >= before_return + 3; }, 60000))
        << "pictures again after the source returned";
    EXPECT_EQ(get_ndi_pull0_decode_working(), 1);
    {
        std::lock_guard<std::mutex> lock(g_restart_mutex);
        for (const std::string& name : g_restarts) EXPECT_EQ(name, kSourceName);
    }

    // The close ends the watchdog; a run it started just before may still be under way: let it end, then
    // close what it may have opened.
    set_ndi_pull0_restart_function(nullptr);
    set_corvane_ndi_pull0_close();
    ASSERT_TRUE(ndi_test::wait_until([] { return pull_ndi_thread_running.load() == 0; }, 30000));
    set_corvane_ndi_pull0_close();
    EXPECT_TRUE(pull_threads::of_the_pull().empty());
    EXPECT_TRUE(pull_threads::stop_preview_threads());
    set_pause_function(nullptr);
}

}  // namespace
