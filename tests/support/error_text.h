#pragma once

#include <exception>
#include <string>

#include "base/errors.h"

namespace quorvane::testing {

// errorText runs `action` and returns the text the helper would report for what it raised
// (stringError), or "<succeeded>" when it raised nothing.
inline std::string errorText(auto&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return stringError(error);
    }
    return "<succeeded>";
}

}  // namespace quorvane::testing
