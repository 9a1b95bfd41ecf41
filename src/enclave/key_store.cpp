#include "enclave/key_store.h"

#include "front/errors.h"

namespace quorvane {

void deletePrivateKey(platform::Platform&) { throw HelperError("not implemented"); }

}  // namespace quorvane
