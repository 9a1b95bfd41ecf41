#pragma once

#include <exception>
#include <string>
#include <utility>

#include "base/platform_error.h"

namespace quorvane {

// HelperError is the helper's own failure: one fixed text that begins in lower case and never
// contains request contents, secrets or keys. Raised anywhere, caught once per mode.
class HelperError : public std::exception {
  public:
    explicit HelperError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// stringError returns the text of a caught failure: a HelperError's message unchanged (even when
// empty), a PlatformError's description unchanged, "out of memory" for an allocation failure, and
// the what() text of any other standard exception.
std::string stringError(const std::exception& error);

// stringError of the exception currently being handled; "unknown error" for one that is not a
// standard exception. Call only inside a catch block.
std::string stringCurrentError();

}  // namespace quorvane
