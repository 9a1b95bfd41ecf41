// The parser's string buffer, which holds the unescaped strings of every request (passwords, hex
// keys, plaintext decrypted in place), is kept out of core dumps, and its head, where the strings
// of small requests lie, is locked in memory; growing the buffer keeps both.
#include "server/parser_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "hardening/process_memory.h"
#include "support/sanitizer.h"

namespace quorvane {
namespace {

bool hasFlag(const std::string& flags, const std::string& flag) {
    return flags.find(" " + flag + " ") != std::string::npos;
}

TEST(ParserMemoryTest, StringBufferIsLockedAtItsHeadAndKeptOutOfDumps) {
    simdjson::dom::parser parser;
    for (std::size_t length : {std::size_t{200}, std::size_t{5000}, std::size_t{3} << 20}) {
        SCOPED_TRACE(length);
        prepareParser(parser, length);
        ASSERT_GE(parser.capacity(), length);
        ASSERT_GE(parser.doc.capacity(), length);
        auto head = reinterpret_cast<unsigned long>(parser.doc.string_buf.get());
        // The last byte the buffer may use for a line of this length.
        unsigned long tail = head + 5 * length / 3;
        std::string headFlags = testing::vmFlags(getpid(), head);
        EXPECT_TRUE(hasFlag(headFlags, "dd")) << headFlags;
        EXPECT_TRUE(hasFlag(testing::vmFlags(getpid(), tail), "dd"));
#ifndef QUORVANE_TEST_SANITIZED  // AddressSanitizer turns mlock into a no-op
        EXPECT_TRUE(hasFlag(headFlags, "lo")) << headFlags;
#endif
    }
}

}  // namespace
}  // namespace quorvane
