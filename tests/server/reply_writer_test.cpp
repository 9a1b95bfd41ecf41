// A reply with a produced member must reach the output byte for byte as the same reply built
// whole, in bounded pieces, and must be dropped entirely when the reply turns into a failure.
// Every string, base64 included, has its "/" escaped.
#include "server/reply_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/base64.h"

namespace quorvane {
namespace {

// A base64-like text of `length` characters whose every 4-character group names its own offset,
// so a piece made at the wrong place shows; about one character in nine is "/".
std::string textOf(std::size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGH/";
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = kAlphabet[(i / 4 * 7 + i % 4) % 9];
    return text;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

ReplyWriter::TextProducer producerOf(const std::string& text) {
    return [&text](std::size_t offset, std::size_t count, char* out) {
        EXPECT_EQ(offset % 4, 0u);
        EXPECT_LE(count, ReplyWriter::kPiece);
        std::string piece = escaped(text.substr(offset, count));
        return piece.copy(out, piece.size());
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
        expected.addString("data", text);
        expected.addInteger("after", 1);
        expected.finish();
        ASSERT_EQ(expected.line(),
                  "{\"id\":7,\"ok\":true,\"data\":\"" + escaped(text) + "\",\"after\":1}\n");

        ReplyWriter reply;
        reply.begin(7);
        reply.addProducedString("data", length, producerOf(text));
        reply.addInteger("after", 1);
        reply.finish();
        Sent sent;
        reply.send(collect(sent));
        EXPECT_EQ(sent.bytes, expected.line()) << length;
        // Bounded: one escaped piece at most, or a short text with the members around it.
        for (std::size_t size : sent.writes) EXPECT_LE(size, 2 * ReplyWriter::kPiece + 64);
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

TEST(ReplyWriterTest, Base64MembersEscapeTheSolidus) {
    // 0xff bytes are all "/" in base64; around them the other characters and the padding.
    const std::vector<std::uint8_t> cases[] = {
        {}, {0xff}, {0xff, 0xff, 0xff}, {0xfb, 0xff, 0x00}, std::vector<std::uint8_t>(3000, 0xff)};
    for (const auto& bytes : cases) {
        std::string text = base64Encode(bytes);
        ReplyWriter reply;
        reply.begin(1);
        reply.addBase64("one", bytes);
        reply.beginArray("many");
        reply.arrayBase64(bytes, {});
        reply.arrayBase64(std::span(bytes).first(bytes.size() / 2),
                          std::span(bytes).subspan(bytes.size() / 2));
        reply.endArray();
        reply.finish();
        EXPECT_EQ(reply.line(), "{\"id\":1,\"ok\":true,\"one\":\"" + escaped(text) +
                                    "\",\"many\":[\"" + escaped(text) + "\",\"" + escaped(text) +
                                    "\"]}\n")
            << bytes.size();
    }
}

}  // namespace
}  // namespace quorvane
