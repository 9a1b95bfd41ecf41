#include "system_bus/sd_bus_library.h"

#include "os/shared_library.h"

namespace quorvane::platform {
namespace {

const SdBusLibrary* load() {
    void* library = os::openSharedLibrary("libsystemd.so.0");
    if (library == nullptr) return nullptr;
    static SdBusLibrary api;
    bool complete = QUORVANE_RESOLVE(library, api, sd_bus_new) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_set_address) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_set_bus_client) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_start) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_flush_close_unref) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_get_unique_name) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_call_method) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_call) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_new_method_call) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_append) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_read) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_read_array) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_append_array) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_skip) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_enter_container) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_exit_container) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_unref) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_ref) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_error_free) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_error_has_name) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_call_async) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_call_method_async) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_process) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_get_fd) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_get_events) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_get_timeout) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_slot_unref) &&
                    QUORVANE_RESOLVE(library, api, sd_bus_message_get_error);
    // The library stays loaded for the life of the process: bus objects may outlive this call.
    return complete ? &api : nullptr;
}

}  // namespace

const SdBusLibrary* sdBusLibrary() {
    static const SdBusLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
