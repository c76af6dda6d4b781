#include "platform/Date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(Date, DistantPastIsTheFirstInstantOfYearOne) {
    EXPECT_EQ(Date::distantPast().timeIntervalSinceReferenceDate(), -63114076800.0);
    EXPECT_TRUE(Date::distantPast().isDistantPast());
    EXPECT_FALSE(Date(-63114076800.0 + 1).isDistantPast());
    EXPECT_FALSE(Date(0).isDistantPast());
    EXPECT_EQ(Date::distantPast().description(), "0001-01-01 00:00:00 +0000");
}

TEST(Date, DescriptionIsUtcToTheSecondRoundedDown) {
    struct Case {
        double seconds;
        const char* expected;
    };
    for (const Case& c : std::vector<Case>{
             {0, "2001-01-01 00:00:00 +0000"},
             {1.999, "2001-01-01 00:00:01 +0000"},
             {-0.5, "2000-12-31 23:59:59 +0000"},
             {-1e-9, "2000-12-31 23:59:59 +0000"},
             {123456789, "2004-11-29 21:33:09 +0000"},
             {86400 * 59, "2001-03-01 00:00:00 +0000"},
             {-86400 * 306, "2000-03-01 00:00:00 +0000"},
             {-86400 * 307, "2000-02-29 00:00:00 +0000"},
             {-978307200, "1970-01-01 00:00:00 +0000"},
             {2147483648.0, "2069-01-19 03:14:08 +0000"},
             {-2147483648.0, "1932-12-13 20:45:52 +0000"},
             // The Gregorian calendar starts on 1582-10-15; the day before is 1582-10-04.
             {-13197600000.0, "1582-10-15 00:00:00 +0000"},
             {-13197600001.0, "1582-10-04 23:59:59 +0000"},
         }) {
        EXPECT_EQ(Date(c.seconds).description(), c.expected) << c.seconds;
    }
}

TEST(Date, DescriptionOfInstantsBeyondTheCalendarIsTheRawCount) {
    EXPECT_EQ(Date(1e300).description(), "1e+300 seconds since 2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Date(-std::numeric_limits<double>::infinity()).description(),
              "-inf seconds since 2001-01-01 00:00:00 +0000");
    const std::string nan = Date(std::numeric_limits<double>::quiet_NaN()).description();
    EXPECT_NE(nan.find("nan seconds since"), std::string::npos) << nan;
}

TEST(Date, NowCountsFromTheReferenceDate) {
    const double before = static_cast<double>(std::time(nullptr)) - 978307200.0;
    const double now = Date::now().timeIntervalSinceReferenceDate();
    const double after = static_cast<double>(std::time(nullptr)) - 978307200.0;
    // time() may read a coarser clock than the date does; a second either way is plenty to
    // tell a wrong epoch.
    EXPECT_GE(now, before - 1);
    EXPECT_LT(now, after + 2);
}

TEST(Date, EqualityIsByValue) {
    EXPECT_EQ(Date(1.5), Date(1.5));
    EXPECT_NE(Date(1.5), Date(1.25));
}

} // namespace
