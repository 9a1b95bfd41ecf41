#include "platform/secret_service/glib_library.h"

#include "os/shared_library.h"

namespace quorvane::platform {
namespace {

const GlibLibrary* load() {
    // Looking symbols up through libsecret's handle also searches GLib, GIO and GObject, which
    // it depends on.
    void* library = os::openSharedLibrary("libsecret-1.so.0");
    if (library == nullptr) return nullptr;
    static GlibLibrary api;
    bool complete =
        os::resolveSymbol(library, "g_main_context_new", api.g_main_context_new) &&
        os::resolveSymbol(library, "g_main_context_unref", api.g_main_context_unref) &&
        os::resolveSymbol(library, "g_main_context_push_thread_default",
                          api.g_main_context_push_thread_default) &&
        os::resolveSymbol(library, "g_main_context_pop_thread_default",
                          api.g_main_context_pop_thread_default) &&
        os::resolveSymbol(library, "g_main_context_iteration", api.g_main_context_iteration) &&
        os::resolveSymbol(library, "g_timeout_source_new", api.g_timeout_source_new) &&
        os::resolveSymbol(library, "g_source_set_callback", api.g_source_set_callback) &&
        os::resolveSymbol(library, "g_source_attach", api.g_source_attach) &&
        os::resolveSymbol(library, "g_source_destroy", api.g_source_destroy) &&
        os::resolveSymbol(library, "g_source_unref", api.g_source_unref) &&
        os::resolveSymbol(library, "g_cancellable_new", api.g_cancellable_new) &&
        os::resolveSymbol(library, "g_cancellable_cancel", api.g_cancellable_cancel) &&
        os::resolveSymbol(library, "g_cancellable_is_cancelled", api.g_cancellable_is_cancelled) &&
        os::resolveSymbol(library, "g_error_free", api.g_error_free) &&
        os::resolveSymbol(library, "g_error_matches", api.g_error_matches) &&
        os::resolveSymbol(library, "g_io_error_quark", api.g_io_error_quark) &&
        os::resolveSymbol(library, "g_free", api.g_free) &&
        os::resolveSymbol(library, "g_utf8_validate", api.g_utf8_validate) &&
        os::resolveSymbol(library, "g_hash_table_new", api.g_hash_table_new) &&
        os::resolveSymbol(library, "g_hash_table_insert", api.g_hash_table_insert) &&
        os::resolveSymbol(library, "g_hash_table_unref", api.g_hash_table_unref) &&
        os::resolveSymbol(library, "g_str_hash", api.g_str_hash) &&
        os::resolveSymbol(library, "g_str_equal", api.g_str_equal) &&
        os::resolveSymbol(library, "g_list_free", api.g_list_free) &&
        os::resolveSymbol(library, "g_usleep", api.g_usleep) &&
        os::resolveSymbol(library, "g_variant_new", api.g_variant_new) &&
        os::resolveSymbol(library, "g_variant_get", api.g_variant_get) &&
        os::resolveSymbol(library, "g_variant_unref", api.g_variant_unref) &&
        os::resolveSymbol(library, "g_object_ref", api.g_object_ref) &&
        os::resolveSymbol(library, "g_object_unref", api.g_object_unref) &&
        os::resolveSymbol(library, "g_bus_get", api.g_bus_get) &&
        os::resolveSymbol(library, "g_bus_get_finish", api.g_bus_get_finish) &&
        os::resolveSymbol(library, "g_dbus_connection_new_for_address",
                          api.g_dbus_connection_new_for_address) &&
        os::resolveSymbol(library, "g_dbus_connection_new_for_address_finish",
                          api.g_dbus_connection_new_for_address_finish) &&
        os::resolveSymbol(library, "g_dbus_connection_set_exit_on_close",
                          api.g_dbus_connection_set_exit_on_close) &&
        os::resolveSymbol(library, "g_dbus_connection_close", api.g_dbus_connection_close) &&
        os::resolveSymbol(library, "g_dbus_connection_call", api.g_dbus_connection_call) &&
        os::resolveSymbol(library, "g_dbus_connection_call_finish",
                          api.g_dbus_connection_call_finish) &&
        os::resolveSymbol(library, "g_dbus_error_get_remote_error",
                          api.g_dbus_error_get_remote_error) &&
        os::resolveSymbol(library, "g_dbus_error_strip_remote_error",
                          api.g_dbus_error_strip_remote_error) &&
        os::resolveSymbol(library, "g_dbus_proxy_get_object_path",
                          api.g_dbus_proxy_get_object_path) &&
        os::resolveSymbol(library, "secret_service_get", api.secret_service_get) &&
        os::resolveSymbol(library, "secret_service_get_finish", api.secret_service_get_finish) &&
        os::resolveSymbol(library, "secret_service_search", api.secret_service_search) &&
        os::resolveSymbol(library, "secret_service_search_finish",
                          api.secret_service_search_finish) &&
        os::resolveSymbol(library, "secret_collection_for_alias",
                          api.secret_collection_for_alias) &&
        os::resolveSymbol(library, "secret_collection_for_alias_finish",
                          api.secret_collection_for_alias_finish) &&
        os::resolveSymbol(library, "secret_collection_get_locked",
                          api.secret_collection_get_locked) &&
        os::resolveSymbol(library, "secret_item_create", api.secret_item_create) &&
        os::resolveSymbol(library, "secret_item_create_finish", api.secret_item_create_finish) &&
        os::resolveSymbol(library, "secret_item_delete", api.secret_item_delete) &&
        os::resolveSymbol(library, "secret_item_delete_finish", api.secret_item_delete_finish) &&
        os::resolveSymbol(library, "secret_item_get_locked", api.secret_item_get_locked) &&
        os::resolveSymbol(library, "secret_item_get_created", api.secret_item_get_created) &&
        os::resolveSymbol(library, "secret_item_get_modified", api.secret_item_get_modified) &&
        os::resolveSymbol(library, "secret_item_get_secret", api.secret_item_get_secret) &&
        os::resolveSymbol(library, "secret_value_new", api.secret_value_new) &&
        os::resolveSymbol(library, "secret_value_get", api.secret_value_get) &&
        os::resolveSymbol(library, "secret_value_unref", api.secret_value_unref);
    return complete ? &api : nullptr;
}

}  // namespace

const GlibLibrary* glibLibrary() {
    static const GlibLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
