// The receive window on its own.
#include "wgengine/replay_window.h"

#include <gtest/gtest.h>

using namespace wireguard::engine;

TEST(replay_window, accepts_each_counter_once_within_1024)
{
    replay_window w;
    EXPECT_FALSE(w.accept(0));
    EXPECT_EQ(w.accept(0), error::duplicate_counter);
    EXPECT_FALSE(w.accept(5));
    EXPECT_FALSE(w.accept(3));
    EXPECT_EQ(w.check(3), error::duplicate_counter);
    EXPECT_FALSE(w.check(4));
    EXPECT_EQ(w.next(), 6u);
    EXPECT_EQ(w.accepted(), 3u);

    // Highest 2000: 977 is the oldest still in the window, 976 is too old.
    EXPECT_FALSE(w.accept(2000));
    EXPECT_FALSE(w.check(977));
    EXPECT_EQ(w.check(976), error::invalid_counter);
    EXPECT_FALSE(w.accept(977));
    EXPECT_EQ(w.accept(977), error::duplicate_counter);
    // Every counter between is new, although the jump reused the slots of 0..976.
    for (std::uint64_t c = 978; c < 2000; ++c)
        EXPECT_FALSE(w.accept(c)) << c;
    EXPECT_EQ(w.accepted(), 3u + 1 + 1 + 1022);
}

TEST(replay_window, a_jump_of_more_than_the_window_forgets_everything)
{
    replay_window w;
    for (std::uint64_t c = 0; c < 100; ++c)
        ASSERT_FALSE(w.accept(c));
    EXPECT_FALSE(w.accept(100 + 5000));
    EXPECT_EQ(w.check(99), error::invalid_counter);
    // 5100 - 1023 = 4077 is the oldest counter in the window; it was never seen.
    EXPECT_FALSE(w.accept(4077));
    EXPECT_EQ(w.check(4076), error::invalid_counter);
}

TEST(replay_window, slots_of_skipped_counters_are_cleared_when_the_window_moves)
{
    replay_window w;
    // Fill 0..1023, then move by one at a time: each step must clear the slot it reuses.
    for (std::uint64_t c = 0; c < 1024; ++c)
        ASSERT_FALSE(w.accept(c));
    ASSERT_FALSE(w.accept(1030));  // skips 1024..1029, whose slots held 0..5
    for (std::uint64_t c = 1024; c < 1030; ++c)
        EXPECT_FALSE(w.check(c)) << c << " was never seen";
    EXPECT_EQ(w.check(6), error::invalid_counter);
    EXPECT_EQ(w.check(7), error::duplicate_counter);
}

TEST(replay_window, refuses_counters_at_the_message_limit)
{
    replay_window w;
    EXPECT_EQ(w.check(replay_window::reject_after_messages), error::invalid_counter);
    EXPECT_EQ(w.accept(~std::uint64_t{0}), error::invalid_counter);
    EXPECT_FALSE(w.accept(replay_window::reject_after_messages - 1));
    EXPECT_EQ(w.next(), replay_window::reject_after_messages);
}
