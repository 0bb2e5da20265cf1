// The line limit: a peer that never ends its line must not make the server hold its bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/LineReader.h"

using pv::net::CLineReader;
using pv::net::LineOptions;

namespace {

struct Collected {
    std::vector<std::string> lines;
    int tooLong = 0;
    size_t maxBuffered = 0;
};

void FeedAll(CLineReader& reader, std::string_view bytes, Collected& out, size_t chunk = 255) {
    for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
        reader.Feed(
            bytes.substr(pos, chunk),
            [&](std::string& line) {
                out.lines.push_back(line);
                return true;
            },
            [&] {
                ++out.tooLong;
                return true;
            });
        out.maxBuffered = std::max(out.maxBuffered, reader.BufferedBytes());
    }
}

}  // namespace

TEST(NetLineReader, OverLongLineIsReportedOnceAndDroppedUpToItsLineEnd) {
    CLineReader reader(LineOptions{false, 100});
    Collected got;
    const std::string flood(10'000, 'x');
    FeedAll(reader, "before\r\n" + flood + "\r\nafter\r\n", got);
    EXPECT_EQ(got.lines, (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(got.tooLong, 1);
    EXPECT_LE(got.maxBuffered, 100u);
    EXPECT_FALSE(reader.Discarding());
}

TEST(NetLineReader, LimitCountsTheStoredBytesSoDroppedCarriageReturnsDoNotCount) {
    // Exactly at the limit is allowed, one more is not.
    CLineReader reader(LineOptions{false, 5});
    Collected got;
    FeedAll(reader, "ab\rc\rde\nabcdef\nok\n", got, 3);
    EXPECT_EQ(got.lines, (std::vector<std::string>{"abcde", "ok"}));
    EXPECT_EQ(got.tooLong, 1);
}

TEST(NetLineReader, KeptLineEndsStayInTheLineHandedOn) {
    CLineReader reader(LineOptions{true, 100});
    Collected got;
    FeedAll(reader, "USER bob\r\nPASS x\nbare\rstill", got, 4);
    EXPECT_EQ(got.lines, (std::vector<std::string>{"USER bob\r\n", "PASS x\n"}));
    EXPECT_EQ(reader.BufferedBytes(), std::string("bare\rstill").size());
}

TEST(NetLineReader, StoppingInAHandlerLeavesTheRestOfThePacketUnread) {
    CLineReader reader;
    std::vector<std::string> lines;
    const std::string packet = "QUIT\nNOOP\n";
    const size_t used = reader.Feed(
        packet,
        [&](std::string& line) {
            lines.push_back(line);
            return false;
        },
        [] { return true; });
    EXPECT_EQ(used, 5u);
    EXPECT_EQ(lines, (std::vector<std::string>{"QUIT"}));
}

TEST(NetLineReader, DiscardingSurvivesManyPacketsAndEndsAtTheNextLineFeedOnly) {
    CLineReader reader(LineOptions{false, 16});
    Collected got;
    FeedAll(reader, std::string(64, 'a'), got, 7);
    EXPECT_TRUE(reader.Discarding());
    FeedAll(reader, std::string(1000, 'b') + "\r", got, 7);  // a CR does not end the discarding
    EXPECT_TRUE(reader.Discarding());
    FeedAll(reader, "\nnext\n", got);
    EXPECT_EQ(got.lines, (std::vector<std::string>{"next"}));
    EXPECT_EQ(got.tooLong, 1);
    EXPECT_LE(got.maxBuffered, 16u);
}

TEST(NetLineReader, LongLinesInPiecesArriveWholeWithBoundedMemory) {
    // Every 100th byte of this line is a CR, right where a piece would end; and the line's own
    // CR LF comes right after a piece's worth, so its CR too would end a piece.
    std::string longLine;
    for (int i = 0; i < 100; ++i) longLine += std::string(99, 'x') + "\r";
    longLine += std::string(98, 'y');
    const std::string input = longLine + "\r\nshort\r\n";
    for (size_t chunk : {size_t(1), size_t(7), input.size()}) {
        CLineReader reader(LineOptions{true, 100, true});
        Collected got;
        FeedAll(reader, input, got, chunk);
        ASSERT_GE(got.lines.size(), 3u);
        EXPECT_EQ(got.lines.back(), "short\r\n");
        std::string joined;
        for (size_t i = 0; i + 1 < got.lines.size(); ++i) {
            const std::string& piece = got.lines[i];
            const bool last = i + 2 == got.lines.size();
            EXPECT_LE(piece.size() - (last ? 1 : 0), 100u) << "the limit, and the LF that ends the line";
            EXPECT_EQ(!piece.empty() && piece.back() == '\n', last) << "only the last piece ends the line";
            if (!last) {
                EXPECT_NE(piece.back(), '\r') << "a CR waits for what follows it";
            }
            joined += piece;
        }
        EXPECT_EQ(joined, longLine + "\r\n");
        EXPECT_LE(got.maxBuffered, 100u);
        EXPECT_EQ(got.tooLong, 0);
    }
}
