// What a request line costs the helper in memory: a line it cannot hold is answered as an invalid
// request and the helper serves on with its sessions, and numbers, however many, are read without
// holding the line.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

#include "support/sanitizer.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

const std::string kInvalid = R"({"id":0,"ok":false,"error":"invalid json request"})";

long statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// sendLine writes `head`, then `repeat` `times` over, then `tail` and the line feed, in pieces
// of the repeated text, so this process never holds the line either.
void sendLine(ServingHelper& helper, const std::string& head, const std::string& repeat,
              std::size_t times, const std::string& tail) {
    helper.send(head);
    std::string block;
    for (std::size_t i = 0; i < 4096; ++i) block += repeat;
    for (std::size_t sent = 0; sent < times; sent += 4096) {
        helper.send(times - sent >= 4096 ? block : block.substr(0, (times - sent) * repeat.size()));
    }
    helper.send(tail + "\n");
}

TEST(MemoryLimitsTest, ALineTooLargeToHoldIsAnInvalidRequestAndServingGoesOn) {
#ifdef QUORVANE_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit";
#endif
    ServeSession session;
    std::string sessionId = session.createSession();
    std::string sealed = session
                             .ok(R"({"id":1,"cmd":"encrypt_lines","sessionId":")" + sessionId +
                                 R"(","lines":["kept"]})")["lines"]
                             .strings()[0];
    // 512 MiB of address space, as on a machine with that much memory to spare.
    const rlim_t limit = rlim_t{512} << 20;
    const struct rlimit addressSpace = {limit, limit};
    ASSERT_EQ(prlimit(session.helper().pid(), RLIMIT_AS, &addressSpace, nullptr), 0);

    // 900 MiB of base64: its bytes alone would take 675 MiB.
    sendLine(session.helper(),
             R"({"id":2,"cmd":"encrypt_bytes","sessionId":")" + sessionId + R"(","data":")",
             std::string(4096, 'A'), std::size_t{900} << 8, "\"}");
    EXPECT_EQ(session.helper().readLine(), kInvalid);

    // The session is still there, and a payload of a size that fits is served.
    EXPECT_EQ(session
                  .ok(R"({"id":3,"cmd":"decrypt_lines","sessionId":")" + sessionId +
                      R"(","lines":[")" + sealed + R"("]})")["lines"]
                  .strings()[0],
              "kept");
    sendLine(session.helper(),
             R"({"id":4,"cmd":"encrypt_bytes","sessionId":")" + sessionId + R"(","data":")",
             std::string(4096, 'A'), std::size_t{64} << 8, "\"}");
    std::optional<std::string> reply = session.helper().readLine();
    ASSERT_TRUE(reply);
    const std::string success = R"({"id":4,"ok":true,"data":")";
    EXPECT_EQ(reply->substr(0, success.size()), success);
}

TEST(MemoryLimitsTest, NumbersAreReadWithoutHoldingTheLine) {
    ServeSession session;
    session.createSession();
    pid_t pid = session.helper().pid();
    long before = statusKiB(pid, "VmHWM");
    // 32 MiB of numbers in an array, then as one member repeated.
    const std::size_t line = std::size_t{32} << 20;
    sendLine(session.helper(), R"({"id":5,"cmd":"x","n":[1e18)", ",1e18", line / 5, "]}");
    EXPECT_EQ(session.helper().readLine(), R"({"id":5,"ok":false,"error":"unknown command: x"})");
    sendLine(session.helper(), R"({"cmd":"x")", R"(,"id":1e18)", line / 10, "}");
    EXPECT_EQ(session.helper().readLine(),
              R"({"id":1000000000000000000,"ok":false,"error":"unknown command: x"})");
    // The read buffer and small change (a few MiB more under the sanitizers' allocator): far below
    // the 32 MiB line, which a reader holding it would add at least once.
    EXPECT_LT(statusKiB(pid, "VmHWM") - before, 8 * 1024) << "KiB more at the peak";
}

}  // namespace
}  // namespace quorvane::testing
