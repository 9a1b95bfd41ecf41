#pragma once

#include <string>

#include "support/helper_process.h"
#include "support/json.h"

namespace quorvane::testing {

// ServeSession starts `quorvane-helper --serve` with a private data directory, checks the
// readiness line, and sends requests as the application does.
class ServeSession {
  public:
    explicit ServeSession(EnvironmentOverrides environment = {});

    // call sends one request line and returns the decoded reply.
    Json call(const std::string& requestLine);
    // ok sends a request that must succeed and returns the reply.
    Json ok(const std::string& requestLine);
    // error sends a request that must fail and returns its error text.
    std::string error(const std::string& requestLine);

    // Session helpers.
    std::string createSession();
    std::string createSessionFromSecret(const std::string& hexKey);

    ServingHelper& helper() { return helper_; }

  private:
    TempDir dataHome_;
    ServingHelper helper_;
};

// quoted returns `text` as a JSON string literal.
std::string quoted(const std::string& text);

}  // namespace quorvane::testing
