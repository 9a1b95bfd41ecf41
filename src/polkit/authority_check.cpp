#include "polkit/authority_check.h"

#include <cstdint>

#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::polkit {
namespace {

using sd_bus_objects::sd;

constexpr std::uint32_t kAllowUserInteraction = 0x1;

}  // namespace

int newUnlockCheck(sd_bus* bus, const std::string& subject, bool allowInteraction,
                   const std::string& cancellationId, sd_bus_message** call) {
    sd_bus_message* message = nullptr;
    int result = sd().sd_bus_message_new_method_call(bus, &message, kPolkitName, kAuthorityPath,
                                                     kAuthorityInterface, "CheckAuthorization");
    if (result < 0) return result;
    // Details stay empty: polkit refuses them from callers that do not own the action.
    result = sd().sd_bus_message_append(message, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name",
                                        "s", subject.c_str(), std::string(kUnlockAction).c_str(), 0,
                                        allowInteraction ? kAllowUserInteraction : 0u,
                                        cancellationId.c_str());
    if (result < 0) {
        sd().sd_bus_message_unref(message);
        return result;
    }
    *call = message;
    return result;
}

CheckReply readCheckReply(sd_bus_message* reply) {
    CheckReply read;
    if (const sd_bus_error* error = sd().sd_bus_message_get_error(reply)) {
        if (sd().sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) ||
            sd().sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT)) {
            read.timedOut = true;
        } else {
            read.errorName = error->name != nullptr ? error->name : "";
            read.error = error->message != nullptr && *error->message != '\0'
                             ? error->message
                             : (error->name != nullptr ? error->name : "unknown");
        }
        return read;
    }
    int authorized = 0;
    int challenge = 0;
    if (sd().sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
        sd().sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
        read.unreadable = true;
        return read;
    }
    read.authorized = authorized != 0;
    read.challenge = challenge != 0;
    return read;
}

void withdrawCheck(sd_bus* bus, const std::string& cancellationId) {
    sd().sd_bus_call_method_async(bus, nullptr, kPolkitName, kAuthorityPath, kAuthorityInterface,
                                  "CancelCheckAuthorization", nullptr, nullptr, "s",
                                  cancellationId.c_str());
}

}  // namespace quorvane::platform::polkit
