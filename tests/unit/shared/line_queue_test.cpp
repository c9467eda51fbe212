#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "line_queue.hpp"

namespace brindlemoor {
namespace {

// Takes batches of at most `max_bytes` until nothing is left, releasing each; a count of dropped lines shows as
// "[n dropped]" before its batch.
std::vector<std::string> take_all(LineQueue& queue, std::size_t max_bytes) {
    std::vector<std::string> batches;
    while (queue.has_work()) {
        std::string text;
        const LineQueue::Batch batch = queue.take(max_bytes, text);
        EXPECT_EQ(batch.bytes, text.size());
        // Formatted, not "[" + std::string: GCC 12 reports a false -Wrestrict (GCC bug 105329) at -O3 for a one-character literal + std::string.
        if (batch.dropped_before != 0) batches.push_back(fmt::format("[{} dropped]", batch.dropped_before));
        if (!text.empty()) batches.push_back(text);
        queue.release(batch.bytes);
    }
    EXPECT_TRUE(queue.idle());
    return batches;
}

TEST(LineQueue, RoomLastsUntilTheBoundAndTheBatchBeingWrittenCounts) {
    LineQueue queue(10);
    EXPECT_TRUE(queue.has_room());
    queue.push("123456\n");
    EXPECT_TRUE(queue.has_room());
    // The print that reaches the bound goes in whole; the next one waits.
    queue.push("abcdef\n");
    EXPECT_EQ(queue.held(), 14u);
    EXPECT_FALSE(queue.has_room());

    std::string text;
    EXPECT_EQ(queue.take(7, text).bytes, 7u);
    EXPECT_FALSE(queue.has_room());  // still being written
    queue.release(7);
    EXPECT_TRUE(queue.has_room());
    EXPECT_EQ(queue.held(), 7u);

    // A print longer than the bound still goes through, alone.
    LineQueue small(4);
    small.push("a line longer than the bound\n");
    EXPECT_FALSE(small.has_room());
    EXPECT_EQ(take_all(small, 8), (std::vector<std::string>{"a line longer than the bound\n"}));
}

TEST(LineQueue, BatchesAreWholeLinesWithinTheLimitOrOneLongLine) {
    struct Case {
        std::vector<std::string> pushes;
        std::size_t max_bytes;
        std::vector<std::string> batches;
    };
    const Case cases[] = {
        {{"a\n", "b\n", "c\n"}, 100, {"a\nb\nc\n"}},
        {{"a\n", "b\n", "c\n"}, 4, {"a\nb\n", "c\n"}},
        {{"aa\n", "bb\n"}, 5, {"aa\n", "bb\n"}},
        // One print of several lines is cut between its lines.
        {{"one\ntwo\nthree\n"}, 9, {"one\ntwo\n", "three\n"}},
        {{"x\n", "one\ntwo\n"}, 6, {"x\none\n", "two\n"}},
        // A line longer than the limit goes alone and whole.
        {{"s\n", "a long line\n", "t\n"}, 4, {"s\n", "a long line\n", "t\n"}},
        {{"a long line\nu\n"}, 4, {"a long line\n", "u\n"}},
    };
    for (const Case& c : cases) {
        LineQueue queue(1000);
        for (const std::string& text : c.pushes) queue.push(text);
        EXPECT_EQ(take_all(queue, c.max_bytes), c.batches) << ::testing::PrintToString(c.pushes) << c.max_bytes;
    }
}

TEST(LineQueue, DroppedLinesAreCountedWhereTheyAreMissing) {
    LineQueue queue(4);
    std::string line = "aaaa\n";
    EXPECT_TRUE(queue.push_or_drop(line));
    for (const char* text : {"b\n", "c\n"}) {
        line = text;
        EXPECT_FALSE(queue.push_or_drop(line));
        EXPECT_EQ(line, text);  // left with the caller
    }
    std::string taken;
    queue.release(queue.take(100, taken).bytes);
    line = "d\n";
    EXPECT_TRUE(queue.push_or_drop(line));
    line = "e\n";
    EXPECT_TRUE(queue.push_or_drop(line));
    // A batch never runs across a place where lines are missing; lines dropped after everything queued are
    // reported last.
    queue.push("full\n");
    line = "f\n";
    EXPECT_FALSE(queue.push_or_drop(line));
    EXPECT_EQ(take_all(queue, 100), (std::vector<std::string>{"[2 dropped]", "d\ne\nfull\n", "[1 dropped]"}));
}

TEST(LineQueue, AReinstatedLineNoLongerCountsAsDropped) {
    // Still unreported: it leaves the pending count.
    LineQueue pending(2);
    pending.push("queued\n");
    std::string first = "first\n";
    std::string last = "last\n";
    EXPECT_FALSE(pending.push_or_drop(first));
    EXPECT_FALSE(pending.push_or_drop(last));
    pending.reinstate(last);
    EXPECT_EQ(take_all(pending, 100), (std::vector<std::string>{"queued\n", "[1 dropped]", "last\n"}));

    // Claimed by a line queued since: it leaves that line's count.
    LineQueue claimed(2);
    claimed.push("queued\n");
    std::string lost = "lost\n";
    EXPECT_FALSE(claimed.push_or_drop(lost));
    std::string taken;
    claimed.release(claimed.take(100, taken).bytes);
    claimed.push("other\n");
    claimed.reinstate(lost);
    EXPECT_EQ(take_all(claimed, 100), (std::vector<std::string>{"other\nlost\n"}));
}

TEST(LineQueue, ClearForgetsLinesAndDropsButNotTheBatchBeingWritten) {
    LineQueue queue(4);
    queue.push("abc\n");
    queue.push("def\n");
    std::string line = "x\n";
    EXPECT_FALSE(queue.push_or_drop(line));
    std::string taken;
    const LineQueue::Batch batch = queue.take(4, taken);
    queue.clear();
    EXPECT_FALSE(queue.has_work());
    EXPECT_FALSE(queue.idle());
    queue.release(batch.bytes);
    EXPECT_TRUE(queue.idle());
}

}  // namespace
}  // namespace brindlemoor
