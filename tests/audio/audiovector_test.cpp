// The PCM byte buffer: the push limit, partial and empty pops, the full-width count, refused pushes.
#include "audiovector.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(AudioVector, PushLimitIsTestedOnWhatIsHeldBeforeThePush) {
    struct Case {
        uint32_t held;
        bool accepted;
    };
    const Case cases[] = {{409600, true}, {409601, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.held);
        audiovector vector;
        audiovector_init(&vector);
        std::vector<uint8_t> bytes(c.held, 1);
        audiovector_push(&vector, bytes.data(), c.held);
        audiovector_push(&vector, bytes.data(), 4096);
        EXPECT_EQ(audiovector_size(&vector), c.accepted ? c.held + 4096 : c.held);
        audiovector_uninit(&vector);
    }
}

TEST(AudioVector, PopsTakeFromTheFrontUpToWhatIsHeld) {
    audiovector vector;
    audiovector_init(&vector);
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    audiovector_push(&vector, bytes.data(), 1000);
    std::vector<uint8_t> out(4096, 0xEE);
    ASSERT_EQ(audiovector_pop(&vector, out.data(), 10), 10);
    EXPECT_EQ(out[9], 9);
    ASSERT_EQ(audiovector_pop(&vector, out.data(), 4096), 990);
    EXPECT_EQ(out[0], 10);
    EXPECT_EQ(out[989], static_cast<uint8_t>(999));
    EXPECT_EQ(out[990], 0xEE);  // nothing written past the popped count
    EXPECT_EQ(audiovector_size(&vector), 0u);
    EXPECT_EQ(audiovector_pop(&vector, out.data(), 4096), 0);
    audiovector_uninit(&vector);
}

TEST(AudioVector, RefusedPushesAndNullArgumentsChangeNothing) {
    audiovector vector;
    audiovector_init(&vector);
    uint8_t byte = 1;
    audiovector_push(&vector, nullptr, 10);
    audiovector_push(&vector, &byte, 0);
    audiovector_push(nullptr, &byte, 1);
    EXPECT_EQ(audiovector_size(&vector), 0u);
    EXPECT_EQ(audiovector_size(nullptr), 0u);
    EXPECT_EQ(audiovector_pop(nullptr, &byte, 1), 0);
    audiovector_push(&vector, &byte, 1);
    EXPECT_EQ(audiovector_pop(&vector, nullptr, 1), 0);
    EXPECT_EQ(audiovector_pop(&vector, &byte, 0), 0);
    EXPECT_EQ(audiovector_size(&vector), 1u);
    audiovector_uninit(&vector);
}

TEST(AudioVector, CountIsReportedInFullWidthAndClearEmpties) {
    audiovector vector;
    audiovector_init(&vector);
    std::vector<uint8_t> bytes(70000, 3);
    audiovector_push(&vector, bytes.data(), 70000);
    EXPECT_EQ(audiovector_size(&vector), 70000u);
    audiovector_clear(&vector);
    EXPECT_EQ(audiovector_size(&vector), 0u);
    audiovector_uninit(&vector);
}

TEST(AudioVector, AuxiliaryVectorWorksOnlyBetweenStartAndStop) {
    uint8_t bytes[4] = {1, 2, 3, 4};
    aux_pcm_vector_push(bytes, 4);
    EXPECT_EQ(aux_pcm_vector_size(), 0u);
    aux_pcm_vector_start();
    aux_pcm_vector_push(bytes, 4);
    EXPECT_EQ(aux_pcm_vector_size(), 4u);
    uint8_t out[4] = {};
    EXPECT_EQ(aux_pcm_vector_pop(out, 4), 4);
    EXPECT_EQ(out[3], 4);
    aux_pcm_vector_stop();
    EXPECT_EQ(aux_pcm_vector_pop(out, 4), 0);
}

}  // namespace
