// The helper does all its work on the thread that started it: another thread would be one more
// place where keys and request bytes pass, for nothing the helper needs. A long request line is
// where it once had one (making the line's pages resident ahead of the read), so the count is
// taken while such a line is half read and again after its reply.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/json.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

// The number of threads of process `pid`, from /proc/<pid>/status; -1 when it cannot be read.
int threadCount(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

TEST(SingleThreadTest, AServingHelperRunsOnOneThreadThroughALongRequest) {
    ServeSession session;
    std::string sid = session.createSessionFromSecret(std::string(64, '1'));
    ServingHelper& helper = session.helper();

    // Past the pipe's 1 MiB, send() returns only once the helper has read most of the line.
    const std::string payload(std::size_t{6} << 20, 'A');  // base64 of 4.5 MiB of zero bytes
    helper.send(R"({"id":1,"cmd":"encrypt_bytes","sessionId":")" + sid + R"(","data":")" + payload);
    EXPECT_EQ(threadCount(helper.pid()), 1) << "while the line is half read";

    helper.send("\"}\n");
    auto reply = helper.readLine();
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(parseJson(*reply)["ok"].boolean());
    EXPECT_EQ(threadCount(helper.pid()), 1) << "after the reply";
}

}  // namespace
}  // namespace quorvane::testing
