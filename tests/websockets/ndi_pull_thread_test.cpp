// The NDI pull thread over a fake NDI receive (recorded close and open, a scripted decoding flag) and an
// injected pause that the test holds or releases.
#include "ndi_pull_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctrl_dispatcher.h"
#include "pause.h"

namespace {

struct FakePull {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::vector<int64_t> pauses;
    bool hold_pause = false;
    int paused_now = 0;
    // The decoding flag the run sees after its pause.
    std::atomic<uint8_t> decoding{0};
    // Runs between their close and their check of the flag, and the most seen at once.
    std::atomic<int> in_run{0};
    std::atomic<int> most_in_run{0};
    // Closes of the input, the run's own included.
    std::atomic<uint32_t> closes{0};
};
FakePull* g_fake = nullptr;

void fake_close() {
    g_fake->closes.fetch_add(1);
    const int now = g_fake->in_run.fetch_add(1) + 1;
    int most = g_fake->most_in_run.load();
    while (now > most && !g_fake->most_in_run.compare_exchange_weak(most, now)) {
    }
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->calls.push_back("close");
}
uint8_t fake_decode_working() {
    g_fake->in_run.fetch_sub(1);
    return g_fake->decoding.load();
}
int fake_open(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    g_fake->calls.push_back("open " + name);
    return 1;
}
uint32_t fake_close_count() { return g_fake->closes.load(); }
void fake_pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(g_fake->mutex);
    g_fake->pauses.push_back(ms);
    ++g_fake->paused_now;
    g_fake->changed.notify_all();
    g_fake->changed.wait(lock, [] { return !g_fake->hold_pause; });
    --g_fake->paused_now;
}

class NdiPullThread : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = &fake_;
        pull_ndi_thread_running = 0;
        ndi_pull_decode_name = std::string();
        NdiPullOperations ops;
        ops.close = fake_close;
        ops.decode_working = fake_decode_working;
        ops.open = fake_open;
        ops.close_count = fake_close_count;
        set_ndi_pull_operations(ops);
        set_pause_function(fake_pause);
    }
    void TearDown() override {
        release();
        wait_idle();
        set_pause_function(nullptr);
        set_ndi_pull_operations(NdiPullOperations());
        g_fake = nullptr;
    }
    void hold() {
        std::lock_guard<std::mutex> lock(fake_.mutex);
        fake_.hold_pause = true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(fake_.mutex);
        fake_.hold_pause = false;
        fake_.changed.notify_all();
    }
    bool wait_paused() {
        std::unique_lock<std::mutex> lock(fake_.mutex);
        return fake_.changed.wait_for(lock, std::chrono::seconds(10), [this] { return fake_.paused_now > 0; });
    }
    static bool wait_idle() {
        for (int i = 0; i < 2000 && pull_ndi_thread_running.load() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pull_ndi_thread_running.load() == 0;
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(fake_.mutex);
        return fake_.calls;
    }

    FakePull fake_;
};

TEST_F(NdiPullThread, WithNoReceiveARunClosesPausesAndOpensTheNamedSource) {
    ndi_pull_decode_name = "STUDIO (Cam 2)";
    EXPECT_EQ(start_pull_ndi_thread(), 1);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"close", "open STUDIO (Cam 2)"}));
    EXPECT_EQ(fake_.pauses, (std::vector<int64_t>{kPullNdiPauseMs}));
}

TEST_F(NdiPullThread, AReceiveThatCameBackDuringThePauseIsNotOpenedAgain) {
    hold();
    start_pull_ndi_thread_named("Cam A");
    ASSERT_TRUE(wait_paused());
    EXPECT_EQ(pull_ndi_thread_running.load(), 1);
    EXPECT_EQ(ndi_pull_decode_name.get(), "Cam A") << "the watchdog's name is stored before the run";
    fake_.decoding = 1;
    release();
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"close"}));
}

TEST_F(NdiPullThread, AnInputSwitchedOffDuringThePauseStaysOff) {
    hold();
    start_pull_ndi_thread_named("Cam A");
    ASSERT_TRUE(wait_paused());
    fake_.closes.fetch_add(1);  // the user switches NDI receive off meanwhile
    release();
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"close"}));
}

TEST_F(NdiPullThread, AStartDuringARunIsRefusedAndTheRunKeepsItsOwnName) {
    hold();
    ndi_pull_decode_name = "Cam A";
    ASSERT_EQ(start_pull_ndi_thread(), 1);
    ASSERT_TRUE(wait_paused());
    // The dispatcher stores another selection and asks again; the watchdog fires too.
    ndi_pull_decode_name = "Cam B";
    EXPECT_EQ(start_pull_ndi_thread(), 0);
    start_pull_ndi_thread_named("Cam C");
    EXPECT_EQ(ndi_pull_decode_name.get(), "Cam B") << "a refused watchdog start changes nothing";
    release();
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"close", "open Cam A"}));
    // Once the run is over a new one may start.
    EXPECT_EQ(start_pull_ndi_thread(), 1);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(calls().back(), "open Cam B");
}

TEST_F(NdiPullThread, DispatcherAndWatchdogStartingTogetherNeverRunTwoAtOnce) {
    std::atomic<int> started{0};
    auto starter = [&](bool watchdog) {
        for (int i = 0; i < 200; ++i) {
            if (watchdog) {
                start_pull_ndi_thread_named("watchdog " + std::to_string(i));
            } else {
                ndi_pull_decode_name = "selected " + std::to_string(i);
                started += start_pull_ndi_thread();
            }
            std::this_thread::yield();
        }
    };
    std::thread dispatcher(starter, false);
    std::thread watchdog(starter, true);
    dispatcher.join();
    watchdog.join();
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(fake_.most_in_run.load(), 1);
    const std::vector<std::string> seen = calls();
    size_t closes = 0, opens = 0;
    for (const std::string& call : seen) (call == "close" ? closes : opens) += 1;
    EXPECT_GE(closes, 1u);
    EXPECT_EQ(closes, opens) << "every run that closed opened once";
}

}  // namespace
