#include "polkit/authority_check.h"

#include <cstdint>

#include "base/process_values.h"
#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::polkit {
namespace {

using sd_bus_objects::sd;

constexpr std::uint32_t kAllowUserInteraction = 0x1;

}  // namespace

int newUnlockCheck(sd_bus* bus, const std::string& subject, bool allowInteraction,
                   const std::string& cancellationId, std::string_view program,
                   sd_bus_message** call) {
    sd_bus_message* message = nullptr;
    int result = sd().sd_bus_message_new_method_call(bus, &message, kPolkitName, kAuthorityPath,
                                                     kAuthorityInterface, "CheckAuthorization");
    if (result < 0) return result;
    const std::string action(kUnlockAction);
    result = sd().sd_bus_message_append(message, "(sa{sv})s", "system-bus-name", 1, "name", "s",
                                        subject.c_str(), action.c_str());
    if (result >= 0 && program.empty()) {
        result = sd().sd_bus_message_append(message, "a{ss}", 0);
    } else if (result >= 0) {
        // The program goes in as a value of its own rather than into the message: polkit fills
        // in $(program) once, and reads nothing in the value as a placeholder.
        const std::string text =
            std::string(values::promptText) + std::string(kMessageNamingProgram);
        const std::string name(program);
        result = sd().sd_bus_message_append(message, "a{ss}", 2, "polkit.message", text.c_str(),
                                            "program", name.c_str());
    }
    if (result >= 0) {
        result = sd().sd_bus_message_append(
            message, "us", allowInteraction ? kAllowUserInteraction : 0u, cancellationId.c_str());
    }
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
