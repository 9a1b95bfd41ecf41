#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quorvane {

// PlatformError is a failure of a service the helper calls (the cryptography provider, the
// operating system, a backend's library), carrying that service's own human-readable
// description. Code above the platform boundary never wraps it: it passes on unchanged and
// becomes text only at the one catch point of each mode, through stringError. A backend of the
// item store or the key store is the one place that may catch it, because those services answer
// with the step that failed (ItemStoreError, KeyStoreError) and the caller's text depends on the
// step: such a backend carries the description on unchanged as the error's detail.
class PlatformError : public std::exception {
  public:
    explicit PlatformError(std::string description) : description_(std::move(description)) {}
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::string description_;
};

}  // namespace quorvane
