// Selecting the on-air input switches the audio route and resets the selected path's preview counter.
#include "active_source.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> g_audio_sources;
void record_audio_source(int source) {
    g_audio_sources.push_back(source);
}

}  // namespace

TEST(ActiveSource, SelectingAnInputSwitchesItsAudioAndResetsOnlyItsOwnCounters) {
    struct Case {
        int input;
        std::vector<int> audio;
        int uvc_preview, uvc_pending, ndi_preview, ip1_preview;
    };
    // Counters start at 5 (pending at 1) before every selection.
    const Case cases[] = {
        {0, {3}, 1, 0, 5, 5},
        {1, {4}, 5, 1, 1, 5},
        {2, {4}, 5, 1, 5, 1},
        {7, {}, 5, 1, 5, 5},
    };
    set_audio_source_function(&record_audio_source);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        g_audio_sources.clear();
        uvc_preview_counter = 5;
        uvc_frame_pending = 1;
        ndi_preview_count = 5;
        ip1_preview_count = 5;
        set_active_source(c.input);
        EXPECT_EQ(get_active_source(), c.input);
        EXPECT_EQ(g_audio_sources, c.audio);
        EXPECT_EQ(uvc_preview_counter.load(), c.uvc_preview);
        EXPECT_EQ(uvc_frame_pending.load(), c.uvc_pending);
        EXPECT_EQ(ndi_preview_count.load(), c.ndi_preview);
        EXPECT_EQ(ip1_preview_count.load(), c.ip1_preview);
    }
    set_audio_source_function(nullptr);
}

TEST(ActiveSource, WithoutAnAudioRouteTheInputIsStillSelected) {
    set_audio_source_function(nullptr);
    ndi_preview_count = 5;
    set_active_source(1);
    EXPECT_EQ(get_active_source(), 1);
    EXPECT_EQ(ndi_preview_count.load(), 1);
    set_active_source(0);
}
