#include "platform/linux/sd_bus_library.h"

#include <dlfcn.h>

namespace quorvane::platform {
namespace {

template <class Function>
bool resolve(void* library, const char* name, Function& out) {
    out = reinterpret_cast<Function>(dlsym(library, name));
    return out != nullptr;
}

const SdBusLibrary* load() {
    void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static SdBusLibrary api;
    bool complete =
        resolve(library, "sd_bus_new", api.sd_bus_new) &&
        resolve(library, "sd_bus_set_address", api.sd_bus_set_address) &&
        resolve(library, "sd_bus_set_bus_client", api.sd_bus_set_bus_client) &&
        resolve(library, "sd_bus_start", api.sd_bus_start) &&
        resolve(library, "sd_bus_flush_close_unref", api.sd_bus_flush_close_unref) &&
        resolve(library, "sd_bus_get_unique_name", api.sd_bus_get_unique_name) &&
        resolve(library, "sd_bus_call_method", api.sd_bus_call_method) &&
        resolve(library, "sd_bus_call", api.sd_bus_call) &&
        resolve(library, "sd_bus_message_new_method_call", api.sd_bus_message_new_method_call) &&
        resolve(library, "sd_bus_message_append", api.sd_bus_message_append) &&
        resolve(library, "sd_bus_message_read", api.sd_bus_message_read) &&
        resolve(library, "sd_bus_message_skip", api.sd_bus_message_skip) &&
        resolve(library, "sd_bus_message_enter_container", api.sd_bus_message_enter_container) &&
        resolve(library, "sd_bus_message_exit_container", api.sd_bus_message_exit_container) &&
        resolve(library, "sd_bus_message_unref", api.sd_bus_message_unref) &&
        resolve(library, "sd_bus_error_free", api.sd_bus_error_free) &&
        resolve(library, "sd_bus_error_has_name", api.sd_bus_error_has_name);
    // The library stays loaded for the life of the process: bus objects may outlive this call.
    return complete ? &api : nullptr;
}

}  // namespace

const SdBusLibrary* sdBusLibrary() {
    static const SdBusLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
