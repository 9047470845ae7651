#include "core/canceltoken.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

TEST(CancelToken, RunsEachRegisteredActionOnce)
{
    CancelToken token;
    int first = 0;
    int second = 0;
    int released = 0;
    const CancelToken::Registration a = token.onCancel([&] { ++first; });
    const CancelToken::Registration b = token.onCancel([&] { ++second; });
    { const CancelToken::Registration gone = token.onCancel([&] { ++released; }); }
    EXPECT_FALSE(token.isCancelled());
    EXPECT_NO_THROW(token.throwIfCancelled());

    const CancelToken copy = token;
    copy.cancel();
    token.cancel();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(released, 0);
    EXPECT_TRUE(token.isCancelled());
    EXPECT_THROW(token.throwIfCancelled(), Cancelled);
}

TEST(CancelToken, ActionRegisteredAfterTheCancelRunsAtOnce)
{
    CancelToken token;
    token.cancel();
    int ran = 0;
    const CancelToken::Registration late = token.onCancel([&] { ++ran; });
    EXPECT_EQ(ran, 1);
}

TEST(CancelToken, ActionsMayTouchTheTokenAndRunOnTheCancellingThread)
{
    CancelToken token;
    CancelToken::Registration inner;
    std::atomic<int> ran = 0;
    std::thread::id where;
    const CancelToken::Registration outer = token.onCancel([&] {
        where = std::this_thread::get_id();
        EXPECT_TRUE(token.isCancelled());
        inner = token.onCancel([&] { ++ran; });
    });
    std::thread canceller([&] { token.cancel(); });
    const std::thread::id cancellerId = canceller.get_id();
    canceller.join();
    EXPECT_EQ(where, cancellerId);
    EXPECT_EQ(ran, 1);
}
