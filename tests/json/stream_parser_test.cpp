// The streaming parser's events: what a handler sees for each kind of value, with text in parts
// wherever the input was cut, the nesting limit, and a handler's refusal ending the parse.
#include "json/stream_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane::json {
namespace {

// Writes each event as a character: { [ ] for containers (']' closes either), s n l for values,
// k for keys, text parts in parentheses, '.' for the end of a text.
class Events final : public Handler {
  public:
    std::string log;
    bool refuseArrays = false;

    bool beginValue(Value type) override {
        static constexpr char kMarks[] = {'{', '[', 's', 'n', 'l'};
        if (refuseArrays && type == Value::array) return false;
        log += kMarks[static_cast<int>(type)];
        return true;
    }
    void endContainer() override { log += ']'; }
    void beginKey() override { log += 'k'; }
    void part(std::string_view bytes) override { log += "(" + std::string(bytes) + ")"; }
    void end() override { log += '.'; }
};

std::string parse(std::string_view text, std::size_t piece = 0, std::size_t depth = 8) {
    Events events;
    StreamParser parser(events, depth);
    bool fed = true;
    for (std::string_view rest = text; !rest.empty() && fed;) {
        std::size_t size = piece == 0 ? rest.size() : std::min(piece, rest.size());
        fed = parser.feed(rest.substr(0, size));
        rest.remove_prefix(size);
    }
    return fed && parser.finish() ? events.log : events.log + " refused";
}

TEST(StreamParserTest, ReportsEachValueWithItsTextInParts) {
    EXPECT_EQ(parse(R"({"a\n":[1,"b",true]})"), "{k(a)(\n).[n(1).s(b).l]]");
    EXPECT_EQ(parse(R"({"a\n":[1,"b",true]})", 1), "{k(a)(\n).[n(1).s(b).l]]");
    EXPECT_EQ(parse(R"("xyz")", 2), "s(x)(yz).");
    EXPECT_EQ(parse("-1.5e3", 2), "n(-)(1)(.5)(e3).") << "a number alone ends with the text";
    EXPECT_EQ(parse("-", 1), "n(-) refused");
    EXPECT_EQ(parse(" null "), "l");
    EXPECT_EQ(parse(R"("\u00e9\ud83d\ude00")"), "s(\xc3\xa9)(\xf0\x9f\x98\x80).");
}

TEST(StreamParserTest, NestsAtMostItsDepth) {
    EXPECT_EQ(parse("[[[]]]", 0, 3), "[[[]]]");
    EXPECT_EQ(parse("[[[[]]]]", 0, 3), "[[[ refused");
    EXPECT_EQ(parse(R"({"a":{"b":{}}})", 0, 3), "{k(a).{k(b).{]]]");
    EXPECT_EQ(parse(R"({"a":{"b":{"c":{}}}})", 0, 3), "{k(a).{k(b).{k(c). refused");
}

TEST(StreamParserTest, HandlerRefusalEndsTheParse) {
    Events events;
    events.refuseArrays = true;
    StreamParser parser(events, 8);
    EXPECT_FALSE(parser.feed(R"({"a":[1]})"));
    EXPECT_FALSE(parser.feed("}"));
    EXPECT_FALSE(parser.finish());
    EXPECT_EQ(events.log, "{k(a).");
    parser.reset();
    events.log.clear();
    EXPECT_TRUE(parser.feed(R"({"a":1})"));
    EXPECT_TRUE(parser.finish());
    EXPECT_EQ(events.log, "{k(a).n(1).]");
}

}  // namespace
}  // namespace quorvane::json
