#include "support/serve_session.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quorvane::testing {
namespace {

EnvironmentOverrides withDataHome(EnvironmentOverrides environment, const std::string& path) {
    environment.emplace("XDG_DATA_HOME", path);
    return environment;
}

}  // namespace

ServeSession::ServeSession(EnvironmentOverrides environment)
    : helper_(withDataHome(std::move(environment), dataHome_.path())) {
    auto ready = helper_.readLine();
    if (!ready || *ready != R"({"ready":true})") {
        throw std::runtime_error("no readiness line");
    }
}

Json ServeSession::call(const std::string& requestLine) {
    return parseJson(helper_.request(requestLine));
}

Json ServeSession::ok(const std::string& requestLine) {
    Json reply = call(requestLine);
    EXPECT_TRUE(reply["ok"].boolean())
        << requestLine << " -> " << (reply.has("error") ? reply["error"].str() : "");
    return reply;
}

std::string ServeSession::error(const std::string& requestLine) {
    Json reply = call(requestLine);
    if (reply["ok"].boolean()) return "<succeeded>";
    EXPECT_EQ(reply.object().size(), 3u) << "a failed reply holds exactly id, ok and error";
    return reply["error"].str();
}

std::string ServeSession::createSession() {
    return ok(R"({"cmd":"create_session"})")["sessionId"].str();
}

std::string ServeSession::createSessionFromSecret(const std::string& hexKey) {
    return ok(R"({"cmd":"create_session_from_secret","secret":")" + hexKey + R"("})")["sessionId"]
        .str();
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

}  // namespace quorvane::testing
