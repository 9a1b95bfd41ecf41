#include "platform/secret_service/glib_library.h"

#include <dlfcn.h>

namespace quorvane::platform {
namespace {

template <class Function>
bool resolve(void* library, const char* name, Function& out) {
    // dlsym on the handle also searches the libraries libsecret depends on (GLib, GIO, GObject).
    out = reinterpret_cast<Function>(dlsym(library, name));
    return out != nullptr;
}

const GlibLibrary* load() {
    // RTLD_NODELETE: GLib registers types and threads that must never be unmapped.
    void* library = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) return nullptr;
    static GlibLibrary api;
    bool complete =
        resolve(library, "g_main_context_new", api.g_main_context_new) &&
        resolve(library, "g_main_context_unref", api.g_main_context_unref) &&
        resolve(library, "g_main_context_push_thread_default",
                api.g_main_context_push_thread_default) &&
        resolve(library, "g_main_context_pop_thread_default",
                api.g_main_context_pop_thread_default) &&
        resolve(library, "g_main_context_iteration", api.g_main_context_iteration) &&
        resolve(library, "g_timeout_source_new", api.g_timeout_source_new) &&
        resolve(library, "g_source_set_callback", api.g_source_set_callback) &&
        resolve(library, "g_source_attach", api.g_source_attach) &&
        resolve(library, "g_source_destroy", api.g_source_destroy) &&
        resolve(library, "g_source_unref", api.g_source_unref) &&
        resolve(library, "g_cancellable_new", api.g_cancellable_new) &&
        resolve(library, "g_cancellable_cancel", api.g_cancellable_cancel) &&
        resolve(library, "g_cancellable_is_cancelled", api.g_cancellable_is_cancelled) &&
        resolve(library, "g_error_free", api.g_error_free) &&
        resolve(library, "g_error_matches", api.g_error_matches) &&
        resolve(library, "g_io_error_quark", api.g_io_error_quark) &&
        resolve(library, "g_free", api.g_free) &&
        resolve(library, "g_utf8_validate", api.g_utf8_validate) &&
        resolve(library, "g_hash_table_new", api.g_hash_table_new) &&
        resolve(library, "g_hash_table_insert", api.g_hash_table_insert) &&
        resolve(library, "g_hash_table_unref", api.g_hash_table_unref) &&
        resolve(library, "g_str_hash", api.g_str_hash) &&
        resolve(library, "g_str_equal", api.g_str_equal) &&
        resolve(library, "g_list_free", api.g_list_free) &&
        resolve(library, "g_usleep", api.g_usleep) &&
        resolve(library, "g_variant_new", api.g_variant_new) &&
        resolve(library, "g_variant_get", api.g_variant_get) &&
        resolve(library, "g_variant_unref", api.g_variant_unref) &&
        resolve(library, "g_object_ref", api.g_object_ref) &&
        resolve(library, "g_object_unref", api.g_object_unref) &&
        resolve(library, "g_bus_get", api.g_bus_get) &&
        resolve(library, "g_bus_get_finish", api.g_bus_get_finish) &&
        resolve(library, "g_dbus_connection_new_for_address",
                api.g_dbus_connection_new_for_address) &&
        resolve(library, "g_dbus_connection_new_for_address_finish",
                api.g_dbus_connection_new_for_address_finish) &&
        resolve(library, "g_dbus_connection_set_exit_on_close",
                api.g_dbus_connection_set_exit_on_close) &&
        resolve(library, "g_dbus_connection_close", api.g_dbus_connection_close) &&
        resolve(library, "g_dbus_connection_call", api.g_dbus_connection_call) &&
        resolve(library, "g_dbus_connection_call_finish", api.g_dbus_connection_call_finish) &&
        resolve(library, "g_dbus_error_get_remote_error", api.g_dbus_error_get_remote_error) &&
        resolve(library, "g_dbus_error_strip_remote_error", api.g_dbus_error_strip_remote_error) &&
        resolve(library, "g_dbus_proxy_get_object_path", api.g_dbus_proxy_get_object_path) &&
        resolve(library, "secret_service_get", api.secret_service_get) &&
        resolve(library, "secret_service_get_finish", api.secret_service_get_finish) &&
        resolve(library, "secret_service_search", api.secret_service_search) &&
        resolve(library, "secret_service_search_finish", api.secret_service_search_finish) &&
        resolve(library, "secret_collection_for_alias", api.secret_collection_for_alias) &&
        resolve(library, "secret_collection_for_alias_finish",
                api.secret_collection_for_alias_finish) &&
        resolve(library, "secret_collection_get_locked", api.secret_collection_get_locked) &&
        resolve(library, "secret_item_create", api.secret_item_create) &&
        resolve(library, "secret_item_create_finish", api.secret_item_create_finish) &&
        resolve(library, "secret_item_delete", api.secret_item_delete) &&
        resolve(library, "secret_item_delete_finish", api.secret_item_delete_finish) &&
        resolve(library, "secret_item_get_locked", api.secret_item_get_locked) &&
        resolve(library, "secret_item_get_created", api.secret_item_get_created) &&
        resolve(library, "secret_item_get_modified", api.secret_item_get_modified) &&
        resolve(library, "secret_item_get_secret", api.secret_item_get_secret) &&
        resolve(library, "secret_value_new", api.secret_value_new) &&
        resolve(library, "secret_value_get", api.secret_value_get) &&
        resolve(library, "secret_value_unref", api.secret_value_unref);
    return complete ? &api : nullptr;
}

}  // namespace

const GlibLibrary* glibLibrary() {
    static const GlibLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
