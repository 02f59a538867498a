// Saves survive being killed half way, and fields stay whole while threads read and write them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "config_ctrl.h"
#include "config_test_env.h"
#include "settings_file.h"

namespace {

TEST_F(ConfigEnv, KilledSaveLeavesTheOldOrTheNewFile) {
    config_ctrl old_settings;
    old_settings.cfg_common.netUrl = "rtsp://old/" + std::string(30000, 'o');
    config_ctrl new_settings;
    new_settings.cfg_common.netUrl = "rtsp://new/" + std::string(40000, 'n');
    new_settings.cfg_common.netSwitch = true;
    const std::string old_text = old_settings.common_info_text();
    const std::string new_text = new_settings.common_info_text();
    ASSERT_EQ(old_settings.save_common_info(), 0);

    std::mt19937 random(12345);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int kills = 0;
    while (kills < 60 && std::chrono::steady_clock::now() < deadline) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Saves the two versions in turn until it is killed.
            for (;;) {
                new_settings.save_common_info();
                old_settings.save_common_info();
            }
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ++kills;
        const std::string text = read("/userdata/config/common.json");
        ASSERT_TRUE(text == old_text || text == new_text) << "after kill " << kills << ": " << text.size() << " bytes";
        rapidjson::Document doc;
        std::string reason;
        ASSERT_TRUE(parse_settings_text(text.data(), text.size(), &doc, &reason)) << reason;
    }
    EXPECT_GE(kills, 5);
}

TEST_F(ConfigEnv, TextFieldsStayWholeUnderConcurrentWritersAndSaves) {
    config_ctrl cfg;
    const std::string a(500, 'a');
    const std::string b(3, 'b');
    std::atomic<bool> stop{false};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            cfg.cfg_common.netUrl = (i % 2) ? a : b;
            cfg.cfg_common.netSwitch = (i % 2) != 0;
            cfg.cfg_common.user_signal = i % 3;
            written = true;
        }
    });
    // The saves start once a URL is set: on a busy machine the writer may not have run at all before
    // fifty saves are done, and the file would hold the empty URL of the start.
    std::thread saver([&] {
        while (!written) std::this_thread::yield();
        for (int i = 0; i < 50; ++i) cfg.save_common_info();
    });
    bool whole = true;
    for (int i = 0; i < 20000; ++i) {
        const std::string url = cfg.cfg_common.netUrl;
        whole = whole && (url.empty() || url == a || url == b);
    }
    saver.join();
    stop = true;
    writer.join();
    EXPECT_TRUE(whole);
    config_ctrl loaded;
    EXPECT_EQ(loaded.load_common_info(), 0);
    const std::string url = loaded.cfg_common.netUrl;
    EXPECT_TRUE(url == a || url == b);
}

}  // namespace
