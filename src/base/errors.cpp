#include "base/errors.h"

#include <new>

namespace quorvane {

std::string stringError(const std::exception& error) {
    if (const auto* helper = dynamic_cast<const HelperError*>(&error)) {
        return helper->message();
    }
    if (const auto* platform = dynamic_cast<const PlatformError*>(&error)) {
        return platform->description();
    }
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return "out of memory";
    }
    return error.what();
}

std::string stringCurrentError() {
    try {
        throw;
    } catch (const std::exception& error) {
        return stringError(error);
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace quorvane
