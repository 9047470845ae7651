#include "support/qtprinters.h"
#include "views/runlog.h"

#include <gtest/gtest.h>
#include <limits>

TEST(RunLogClock, WholeSecondsAndMinutes)
{
    const struct {
        double seconds;
        const char *text;
    } cases[] = {
        {0, "0초"},
        {59.9, "59초"},
        {60, "1분 0초"},
        {61.5, "1분 1초"},
        {254, "4분 14초"},
        {3725, "62분 5초"},
        {-3, "0초"},
        {-0.5, "0초"},
        {std::numeric_limits<double>::quiet_NaN(), "0초"},
        {-std::numeric_limits<double>::infinity(), "0초"},
        {1e300, "16666666666666분 40초"},
        {std::numeric_limits<double>::infinity(), "16666666666666분 40초"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RunLog::clock(c.seconds), QString::fromUtf8(c.text)) << c.seconds;
}
