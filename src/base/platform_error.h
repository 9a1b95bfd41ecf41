#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quorvane {

// PlatformError is raised by the services below the platform boundary (the cryptography
// provider, the item store, the key store, the presence prompt). It carries the service's own
// human-readable description and is never wrapped: callers pass it on unchanged, and it becomes
// text only at the one catch point of each mode, through stringError.
class PlatformError : public std::exception {
  public:
    explicit PlatformError(std::string description) : description_(std::move(description)) {}
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::string description_;
};

}  // namespace quorvane
