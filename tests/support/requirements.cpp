#include "support/requirements.h"

#include <cstdlib>
#include <cstring>

namespace quorvane::testing {

bool underCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace quorvane::testing
