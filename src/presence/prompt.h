#pragma once

#include "base/errors.h"
#include "platform/key_store.h"
#include "platform/presence.h"

// Whether presence can be asked for, and the bare prompt of the command line.
namespace quorvane {

// unavailableError is the HelperError for presence that cannot be offered: "unavailable: " + the
// platform's reason ("no biometrics" where the platform gives none).
HelperError unavailableError(const platform::PresenceUnavailable& unavailable);

// requirePromptAvailable returns when a presence prompt can be offered now; otherwise raises
// unavailableError. Shows nothing.
void requirePromptAvailable(platform::Presence& presence);

// canMakePresenceKey answers whether a presence key could be made now, storing nothing. Raises
// unavailableError when the place that would hold it is there and cannot be asked (a key service
// that does not answer): that is reported rather than taken for "no key can be made".
bool canMakePresenceKey(platform::KeyStore& keys);

// promptOnly shows one presence prompt with the helper's prompt text and waits for the answer:
// true when it was passed, false when not (refused, cancelled, timed out, or withdrawn because
// `cancelOnHangUp` hung up). Where no agent of a desktop answers, the platform may ask on the
// controlling terminal. Raises unavailableError when no prompt can be offered.
bool promptOnly(platform::Presence& presence, int cancelOnHangUp);

}  // namespace quorvane
