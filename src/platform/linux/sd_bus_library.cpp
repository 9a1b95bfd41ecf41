#include "platform/linux/sd_bus_library.h"

#include "os/shared_library.h"

namespace quorvane::platform {
namespace {

const SdBusLibrary* load() {
    void* library = os::openSharedLibrary("libsystemd.so.0");
    if (library == nullptr) return nullptr;
    static SdBusLibrary api;
    bool complete =
        os::resolveSymbol(library, "sd_bus_new", api.sd_bus_new) &&
        os::resolveSymbol(library, "sd_bus_set_address", api.sd_bus_set_address) &&
        os::resolveSymbol(library, "sd_bus_set_bus_client", api.sd_bus_set_bus_client) &&
        os::resolveSymbol(library, "sd_bus_start", api.sd_bus_start) &&
        os::resolveSymbol(library, "sd_bus_flush_close_unref", api.sd_bus_flush_close_unref) &&
        os::resolveSymbol(library, "sd_bus_get_unique_name", api.sd_bus_get_unique_name) &&
        os::resolveSymbol(library, "sd_bus_call_method", api.sd_bus_call_method) &&
        os::resolveSymbol(library, "sd_bus_call", api.sd_bus_call) &&
        os::resolveSymbol(library, "sd_bus_message_new_method_call",
                          api.sd_bus_message_new_method_call) &&
        os::resolveSymbol(library, "sd_bus_message_append", api.sd_bus_message_append) &&
        os::resolveSymbol(library, "sd_bus_message_read", api.sd_bus_message_read) &&
        os::resolveSymbol(library, "sd_bus_message_skip", api.sd_bus_message_skip) &&
        os::resolveSymbol(library, "sd_bus_message_enter_container",
                          api.sd_bus_message_enter_container) &&
        os::resolveSymbol(library, "sd_bus_message_exit_container",
                          api.sd_bus_message_exit_container) &&
        os::resolveSymbol(library, "sd_bus_message_unref", api.sd_bus_message_unref) &&
        os::resolveSymbol(library, "sd_bus_error_free", api.sd_bus_error_free) &&
        os::resolveSymbol(library, "sd_bus_error_has_name", api.sd_bus_error_has_name) &&
        os::resolveSymbol(library, "sd_bus_call_async", api.sd_bus_call_async) &&
        os::resolveSymbol(library, "sd_bus_process", api.sd_bus_process) &&
        os::resolveSymbol(library, "sd_bus_get_fd", api.sd_bus_get_fd) &&
        os::resolveSymbol(library, "sd_bus_get_events", api.sd_bus_get_events) &&
        os::resolveSymbol(library, "sd_bus_get_timeout", api.sd_bus_get_timeout) &&
        os::resolveSymbol(library, "sd_bus_slot_unref", api.sd_bus_slot_unref) &&
        os::resolveSymbol(library, "sd_bus_message_get_error", api.sd_bus_message_get_error);
    // The library stays loaded for the life of the process: bus objects may outlive this call.
    return complete ? &api : nullptr;
}

}  // namespace

const SdBusLibrary* sdBusLibrary() {
    static const SdBusLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
