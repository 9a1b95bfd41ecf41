#pragma once

#include <systemd/sd-bus.h>

// libsystemd (and the compression and crypto libraries it pulls in) is loaded only when a mode
// actually talks to the bus: linking it would make every start of the helper pay for loading
// seven shared objects, and the one-shot secret commands start once per secret.
namespace quorvane::platform {

// The sd-bus entry points the presence prompt and the key service's client use, resolved from
// libsystemd at run time.
struct SdBusLibrary {
    decltype(&::sd_bus_new) sd_bus_new;
    decltype(&::sd_bus_set_address) sd_bus_set_address;
    decltype(&::sd_bus_set_bus_client) sd_bus_set_bus_client;
    decltype(&::sd_bus_start) sd_bus_start;
    decltype(&::sd_bus_flush_close_unref) sd_bus_flush_close_unref;
    decltype(&::sd_bus_get_unique_name) sd_bus_get_unique_name;
    decltype(&::sd_bus_call_method) sd_bus_call_method;
    decltype(&::sd_bus_call) sd_bus_call;
    decltype(&::sd_bus_message_new_method_call) sd_bus_message_new_method_call;
    decltype(&::sd_bus_message_append) sd_bus_message_append;
    decltype(&::sd_bus_message_read) sd_bus_message_read;
    decltype(&::sd_bus_message_read_array) sd_bus_message_read_array;
    decltype(&::sd_bus_message_append_array) sd_bus_message_append_array;
    decltype(&::sd_bus_message_skip) sd_bus_message_skip;
    decltype(&::sd_bus_message_enter_container) sd_bus_message_enter_container;
    decltype(&::sd_bus_message_exit_container) sd_bus_message_exit_container;
    decltype(&::sd_bus_message_unref) sd_bus_message_unref;
    decltype(&::sd_bus_message_ref) sd_bus_message_ref;
    decltype(&::sd_bus_error_free) sd_bus_error_free;
    decltype(&::sd_bus_error_has_name) sd_bus_error_has_name;
    decltype(&::sd_bus_call_async) sd_bus_call_async;
    decltype(&::sd_bus_call_method_async) sd_bus_call_method_async;
    decltype(&::sd_bus_process) sd_bus_process;
    decltype(&::sd_bus_get_fd) sd_bus_get_fd;
    decltype(&::sd_bus_get_events) sd_bus_get_events;
    decltype(&::sd_bus_get_timeout) sd_bus_get_timeout;
    decltype(&::sd_bus_slot_unref) sd_bus_slot_unref;
    decltype(&::sd_bus_message_get_error) sd_bus_message_get_error;
};

// sdBusLibrary loads libsystemd on first call and returns its entry points, or nullptr when the
// library or any entry point is missing (the platform then has no presence prompt). Thread-safe.
const SdBusLibrary* sdBusLibrary();

}  // namespace quorvane::platform
