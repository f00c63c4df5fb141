// The tone buffers and the tone queue of the Qt tone output.

#if NVX_APP_GUI

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/gui/qt_tones.h"
#include "support/qt_test_app.h"

namespace nvx::test {
namespace {

std::vector<int16_t> Samples(const QByteArray& pcm) {
    std::vector<int16_t> s(static_cast<std::size_t>(pcm.size()) / 2);
    std::memcpy(s.data(), pcm.constData(), s.size() * 2);
    return s;
}

TEST(SineToneTest, LengthPitchAndLevelFollowTheTone) {
    const struct {
        uint32_t hz;
        uint32_t ms;
    } tones[] = {{1000, 120}, {700, 80}, {700, 120}, {1000, 80}};
    for (const auto& t : tones) {
        const std::vector<int16_t> s = Samples(SineTone(t.hz, t.ms, 22050));
        EXPECT_EQ(s.size(), 22050u * t.ms / 1000) << t.hz;
        // Rising zero crossings count the periods.
        int periods = 0;
        int peak = 0;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i - 1] < 0 && s[i] >= 0) ++periods;
            peak = std::max(peak, std::abs(static_cast<int>(s[i])));
        }
        const int expected = static_cast<int>(t.hz * t.ms / 1000);
        EXPECT_NEAR(periods, expected, 1) << t.hz << " Hz";
        EXPECT_NEAR(peak, 16383, 200) << t.hz << " Hz";
        // Faded in and out: no click at either end.
        EXPECT_LT(std::abs(s.front()), 50);
        EXPECT_LT(std::abs(s.back()), 50);
    }
}

TEST(SineToneTest, ZeroDurationGivesNoSamples) { EXPECT_TRUE(SineTone(700, 0).isEmpty()); }

TEST(QtToneSinkTest, BurstOfPairsKeepsTheQueueBoundedAndWhole) {
    EnsureTestApp();
    QtToneSink sink;
    for (int i = 0; i < 200; ++i) {
        sink.play(1000, 120);
        sink.play(700, 80);
    }
    // Without a sound device nothing is queued; with one, about two seconds' worth in whole pairs.
    const std::size_t waiting = sink.queued() + (sink.playing() ? 1 : 0);
    EXPECT_LE(waiting, 2 * (kToneQueueLimitMs / 200 + 1));
    EXPECT_EQ(waiting % 2, 0u);
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI
