// The gauge text both front ends show, driven by injected times.
#include "transfer/report/Progress.h"

#include <gtest/gtest.h>

namespace {

constexpr qint64 Second = 1000;

TEST(TransferProgress, ShowsPercentRateAndTimeLeftInTheGaugeFormat)
{
    // 42 % of 590000 bytes sent at 11200 bytes a second: 342200 bytes left
    // take 30.6 seconds, shown rounded up.
    TransferProgress progress(590000);
    progress.Record(191800, 0);
    progress.Record(247800, 5 * Second);
    EXPECT_EQ(progress.Percent(), 42);
    ASSERT_TRUE(progress.BytesPerSecond());
    EXPECT_DOUBLE_EQ(*progress.BytesPerSecond(), 11200.0);
    EXPECT_EQ(progress.SecondsLeft(), 31);
    EXPECT_EQ(progress.Text(), "42 %   11.2 kB/s   0:31 left");
}

TEST(TransferProgress, RateAndTimeLeftAreUnknownUntilTimeHasPassed)
{
    TransferProgress progress(10000);
    EXPECT_EQ(progress.Text(), "0 %   -- kB/s   -:-- left");
    progress.Record(1024, 0);
    progress.Record(2048, 0);
    EXPECT_EQ(progress.Text(), "20 %   -- kB/s   -:-- left");
}

TEST(TransferProgress, AStalledTransferHasNoTimeLeft)
{
    TransferProgress progress(10000);
    progress.Record(1024, 0);
    progress.Record(1024, 3 * Second);
    EXPECT_EQ(progress.Text(), "10 %   0 B/s   -:-- left");
}

TEST(TransferProgress, TheRateFollowsTheLastFiveSecondsOnly)
{
    // Fast for five seconds, then slow: five seconds later the rate is the
    // slow one alone.
    TransferProgress progress(10'000'000);
    qint64 done = 0;
    for (qint64 second = 0; second <= 10; ++second) {
        progress.Record(done, second * Second);
        done += second < 5 ? 100'000 : 1'000;
    }
    ASSERT_TRUE(progress.BytesPerSecond());
    EXPECT_DOUBLE_EQ(*progress.BytesPerSecond(), 1000.0);
}

TEST(TransferProgress, ClampsCountsAndKeepsTheClockFromRunningBack)
{
    TransferProgress progress(1000);
    progress.Record(-5, 0);
    EXPECT_EQ(progress.Done(), 0);
    progress.Record(500, 2 * Second);
    // An earlier time counts as the latest seen: no negative or endless rate.
    progress.Record(600, 1 * Second);
    ASSERT_TRUE(progress.BytesPerSecond());
    EXPECT_DOUBLE_EQ(*progress.BytesPerSecond(), 300.0);
    progress.Record(5000, 3 * Second);
    EXPECT_EQ(progress.Done(), 1000);
    EXPECT_EQ(progress.Text(), "100 %   333 B/s   0:00 left");
}

TEST(TransferProgress, AnEmptyFileIsDoneFromTheStart)
{
    TransferProgress progress(0);
    progress.Record(0);
    EXPECT_EQ(progress.Text(), "100 %   -- kB/s   0:00 left");
}

TEST(GaugeFields, RatesChangeUnitWhereTheyRoundToIt)
{
    EXPECT_EQ(RateText(0.0), "0 B/s");
    EXPECT_EQ(RateText(850.4), "850 B/s");
    EXPECT_EQ(RateText(999.6), "1.0 kB/s");
    EXPECT_EQ(RateText(11240.0), "11.2 kB/s");
    EXPECT_EQ(RateText(999'960.0), "1.0 MB/s");
    EXPECT_EQ(RateText(1'540'000.0), "1.5 MB/s");
    EXPECT_EQ(RateText(std::nullopt), "-- kB/s");
}

TEST(GaugeFields, TimesLeftShowHoursOnlyWhenNeeded)
{
    EXPECT_EQ(TimeLeftText(3599), "59:59 left");
    EXPECT_EQ(TimeLeftText(3725), "1:02:05 left");
    EXPECT_EQ(TimeLeftText(std::nullopt), "-:-- left");
}

} // namespace
