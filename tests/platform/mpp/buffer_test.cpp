// Buffers and groups: memory, references held by frames, the count limit a decoder relies on.
#include <gtest/gtest.h>

#include <cstdint>

#include "mpp_api.h"
#include "mpp_hooks.h"

TEST(MppBuffer, GroupLimitUsageAndFrameReferences) {
    MppBufferGroup group = nullptr;
    ASSERT_EQ(mpp_buffer_group_get_internal(&group, MPP_BUFFER_TYPE_ION), MPP_OK);
    ASSERT_EQ(mpp_buffer_group_limit_config(group, 1000, 2), MPP_OK);
    MppBuffer a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(mpp_buffer_get(group, &a, 1000), MPP_OK);
    ASSERT_EQ(mpp_buffer_get(group, &b, 600), MPP_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mpp_buffer_get_ptr(a)) % 64, 0u);
    EXPECT_GE(mpp_buffer_get_size(b), 600u);
    EXPECT_EQ(mpp_buffer_group_usage(group), 2000u);  // blocks of the limit size
    EXPECT_EQ(mpp_buffer_get(group, &c, 10), MPP_NOK) << "the limit of 2 holds";
    EXPECT_EQ(c, nullptr);

    // A frame holding a buffer keeps it out of the group after the caller's own put.
    MppFrame frame = nullptr;
    ASSERT_EQ(mpp_frame_init(&frame), MPP_OK);
    mpp_frame_set_buffer(frame, a);
    mpp_buffer_put(a);
    EXPECT_EQ(mpp_buffer_get(group, &c, 10), MPP_NOK);
    mpp_frame_deinit(&frame);
    ASSERT_EQ(mpp_buffer_get(group, &c, 10), MPP_OK);

    // Putting the group while buffers are held: the buffers stay usable until returned.
    ASSERT_EQ(mpp_buffer_group_put(group), MPP_OK);
    static_cast<uint8_t*>(mpp_buffer_get_ptr(b))[599] = 1;
    mpp_buffer_put(b);
    mpp_buffer_put(c);
}

TEST(MppBuffer, RefusesAbsurdSizesAndInjectedFailures) {
    MppBuffer buffer = nullptr;
    EXPECT_EQ(mpp_buffer_get(nullptr, &buffer, 0), MPP_ERR_VALUE);
    EXPECT_EQ(mpp_buffer_get(nullptr, &buffer, SIZE_MAX), MPP_ERR_VALUE);
    mpp_hook_fail_call(MPP_HOOK_BUFFER_GET, 1);
    EXPECT_EQ(mpp_buffer_get(nullptr, &buffer, 64), MPP_NOK);
    ASSERT_EQ(mpp_buffer_get(nullptr, &buffer, 64), MPP_OK);
    mpp_buffer_put(buffer);
    mpp_hook_reset();
}

TEST(MppPacket, PacketOverBufferKeepsItsBufferAlive) {
    MppBuffer buffer = nullptr;
    ASSERT_EQ(mpp_buffer_get(nullptr, &buffer, 4096), MPP_OK);
    MppPacket packet = nullptr;
    ASSERT_EQ(mpp_packet_init_with_buffer(&packet, buffer), MPP_OK);
    EXPECT_EQ(mpp_packet_get_pos(packet), mpp_buffer_get_ptr(buffer));
    EXPECT_EQ(mpp_packet_get_size(packet), mpp_buffer_get_size(buffer));
    EXPECT_EQ(mpp_packet_get_length(packet), 0u);
    mpp_buffer_put(buffer);  // the packet keeps its own reference
    static_cast<uint8_t*>(mpp_packet_get_data(packet))[4095] = 7;
    mpp_packet_deinit(&packet);
    EXPECT_EQ(packet, nullptr);
}
