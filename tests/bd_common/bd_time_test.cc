#include "bd_common/bd_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "bd_common/bd_second_text.h"

namespace {

// Eight hours east of UTC, without needing the zone database: the text forms must use local time.
class BdTimeTextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "XYZ-8", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

TEST(BdTimeTest, SecondsRoundTripAndTruncateTowardZero) {
    EXPECT_EQ(BdTime().ToSecond(), 0);
    EXPECT_EQ(BdTime::Second(3).ToSecond(), 3);
    EXPECT_EQ(BdTime::Second(3).Microseconds(), 3000000);
    EXPECT_EQ(BdTime(2999999).ToSecond(), 2);
    EXPECT_EQ(BdTime(-2999999).ToSecond(), -2);
}

TEST(BdTimeTest, WallClockFollowsTheSystemTimeAndMonotonicNeverGoesBack) {
    // Not time(): it may read a coarser clock, a tick behind across a second's boundary.
    const auto systemSecond = [] {
        timespec clock;
        clock_gettime(CLOCK_REALTIME, &clock);
        return static_cast<long>(clock.tv_sec);
    };
    long before = systemSecond();
    long now = BdTime::Now().ToSecond();
    EXPECT_GE(now, before);
    EXPECT_LE(now, systemSecond());

    BdTime first = BdTime::Now(BdTime::kMonotonicClock);
    BdTime second = BdTime::Now(BdTime::kMonotonicClock);
    EXPECT_GT(first.Microseconds(), 0);
    EXPECT_GE(second.Microseconds(), first.Microseconds());
}

TEST_F(BdTimeTextTest, EpochInLocalTime) {
    EXPECT_EQ(BdTime(0).ToLogDatetime(), "1970/01/01 08:00:00");
    EXPECT_EQ(BdTime(0).ToDatetime(), "1970-01-01 08:00:00");
    EXPECT_EQ(BdTime(0).ToDate(), "1970-01-01");
}

TEST_F(BdTimeTextTest, TextUsesWholeSecondsAndCrossesTheLocalDateLine) {
    // 2026-12-04 15:59:59.999999 UTC is 23:59:59 local; one microsecond later it is the 5th.
    BdTime lastMoment(1796399999L * 1000000L + 999999L);
    EXPECT_EQ(lastMoment.ToDatetime(), "2026-12-04 23:59:59");
    BdTime nextDay(lastMoment.Microseconds() + 1);
    EXPECT_EQ(nextDay.ToDate(), "2026-12-05");
    EXPECT_EQ(nextDay.ToLogDatetime(), "2026/12/05 00:00:00");
}

TEST_F(BdTimeTextTest, RememberedTextIsTheFormOfTheSecondAskedFor) {
    BdSecondText date(&BdTime::ToDate);
    BdSecondText stamp(&BdTime::ToLogDatetime);
    for (long second : {0L, 0L, 1796399999L, 1796400000L, 1796399999L, -1L}) {
        EXPECT_EQ(date.Of(second), BdTime::Second(second).ToDate()) << second;
        EXPECT_EQ(stamp.Of(second), BdTime::Second(second).ToLogDatetime()) << second;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
    stamp.Forget();
    EXPECT_EQ(stamp.Of(-1), "1969/12/31 23:59:59");
}

}  // namespace
