// A reply with a produced member must reach the output byte for byte as the same reply built
// whole, in bounded pieces, and must be dropped entirely when the reply turns into a failure.
#include "server/reply_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

// A text of `length` characters whose every 4-character group names its own offset, so a piece
// made at the wrong place shows.
std::string textOf(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>('A' + (i / 4 * 7 + i % 4) % 26);
    return text;
}

ReplyWriter::TextProducer producerOf(const std::string& text) {
    return [&text](std::size_t offset, std::size_t count, char* out) {
        EXPECT_EQ(offset % 4, 0u);
        EXPECT_LE(count, ReplyWriter::kPiece);
        text.copy(out, count, offset);
    };
}

struct Sent {
    std::string bytes;
    std::vector<std::size_t> writes;
};

ReplyWriter::Output collect(Sent& sent, std::size_t refuseAfter = SIZE_MAX) {
    return [&sent, refuseAfter](std::string_view bytes) {
        if (sent.writes.size() >= refuseAfter) return false;
        sent.bytes.append(bytes);
        sent.writes.push_back(bytes.size());
        return true;
    };
}

TEST(ReplyWriterTest, ProducedMemberIsSentAsTheWholeReply) {
    for (std::size_t length : {std::size_t{0}, std::size_t{8}, ReplyWriter::kPiece,
                               ReplyWriter::kPiece + 4, 3 * ReplyWriter::kPiece + 400}) {
        std::string text = textOf(length);
        ReplyWriter expected;
        expected.begin(7);
        text.copy(expected.addRawString("data", length), length);
        expected.addInteger("after", 1);
        expected.finish();

        ReplyWriter reply;
        reply.begin(7);
        reply.addProducedString("data", length, producerOf(text));
        reply.addInteger("after", 1);
        reply.finish();
        Sent sent;
        reply.send(collect(sent));
        EXPECT_EQ(sent.bytes, expected.line()) << length;
        // Bounded: one piece at most, or a short text with the members around it.
        for (std::size_t size : sent.writes) EXPECT_LE(size, ReplyWriter::kPiece + 64);
        EXPECT_EQ(reply.line(), expected.line()) << "line() makes the same reply whole";
        reply.wipe();
    }
}

TEST(ReplyWriterTest, FailureDropsTheProducedMember) {
    std::string text = textOf(2 * ReplyWriter::kPiece);
    ReplyWriter reply;
    reply.begin(9);
    reply.addProducedString("data", text.size(), producerOf(text));
    reply.fail(9, "late failure");
    reply.finish();
    Sent sent;
    reply.send(collect(sent));
    EXPECT_EQ(sent.bytes, "{\"id\":9,\"ok\":false,\"error\":\"late failure\"}\n");
}

TEST(ReplyWriterTest, StopsWhenTheOutputIsGone) {
    std::string text = textOf(4 * ReplyWriter::kPiece);
    ReplyWriter reply;
    reply.begin(1);
    reply.addProducedString("data", text.size(), producerOf(text));
    reply.finish();
    Sent sent;
    reply.send(collect(sent, 2));
    EXPECT_EQ(sent.writes.size(), 2u);
}

}  // namespace
}  // namespace quorvane
