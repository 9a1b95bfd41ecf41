#include "keyring/glib_library.h"

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
        QUORVANE_RESOLVE(library, api, g_main_context_new) &&
        QUORVANE_RESOLVE(library, api, g_main_context_unref) &&
        QUORVANE_RESOLVE(library, api, g_main_context_push_thread_default) &&
        QUORVANE_RESOLVE(library, api, g_main_context_pop_thread_default) &&
        QUORVANE_RESOLVE(library, api, g_main_context_iteration) &&
        QUORVANE_RESOLVE(library, api, g_timeout_source_new) &&
        QUORVANE_RESOLVE(library, api, g_source_set_callback) &&
        QUORVANE_RESOLVE(library, api, g_source_attach) &&
        QUORVANE_RESOLVE(library, api, g_source_destroy) &&
        QUORVANE_RESOLVE(library, api, g_source_unref) &&
        QUORVANE_RESOLVE(library, api, g_cancellable_new) &&
        QUORVANE_RESOLVE(library, api, g_cancellable_cancel) &&
        QUORVANE_RESOLVE(library, api, g_cancellable_is_cancelled) &&
        QUORVANE_RESOLVE(library, api, g_error_free) &&
        QUORVANE_RESOLVE(library, api, g_error_matches) &&
        QUORVANE_RESOLVE(library, api, g_io_error_quark) &&
        QUORVANE_RESOLVE(library, api, g_free) && QUORVANE_RESOLVE(library, api, g_utf8_validate) &&
        QUORVANE_RESOLVE(library, api, g_hash_table_new) &&
        QUORVANE_RESOLVE(library, api, g_hash_table_insert) &&
        QUORVANE_RESOLVE(library, api, g_hash_table_unref) &&
        QUORVANE_RESOLVE(library, api, g_str_hash) && QUORVANE_RESOLVE(library, api, g_str_equal) &&
        QUORVANE_RESOLVE(library, api, g_list_free) && QUORVANE_RESOLVE(library, api, g_usleep) &&
        QUORVANE_RESOLVE(library, api, g_variant_new) &&
        QUORVANE_RESOLVE(library, api, g_variant_get) &&
        QUORVANE_RESOLVE(library, api, g_variant_unref) &&
        QUORVANE_RESOLVE(library, api, g_variant_lookup) &&
        QUORVANE_RESOLVE(library, api, g_strfreev) &&
        QUORVANE_RESOLVE(library, api, g_object_ref) &&
        QUORVANE_RESOLVE(library, api, g_object_unref) &&
        QUORVANE_RESOLVE(library, api, g_bus_get) &&
        QUORVANE_RESOLVE(library, api, g_bus_get_finish) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_new_for_address) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_new_for_address_finish) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_set_exit_on_close) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_close) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_call) &&
        QUORVANE_RESOLVE(library, api, g_dbus_connection_call_finish) &&
        QUORVANE_RESOLVE(library, api, g_dbus_error_get_remote_error) &&
        QUORVANE_RESOLVE(library, api, g_dbus_error_strip_remote_error) &&
        QUORVANE_RESOLVE(library, api, g_dbus_proxy_get_object_path) &&
        QUORVANE_RESOLVE(library, api, g_dbus_proxy_get_name) &&
        QUORVANE_RESOLVE(library, api, secret_service_get) &&
        QUORVANE_RESOLVE(library, api, secret_service_get_finish) &&
        QUORVANE_RESOLVE(library, api, secret_service_search) &&
        QUORVANE_RESOLVE(library, api, secret_service_search_finish) &&
        QUORVANE_RESOLVE(library, api, secret_service_search_for_dbus_paths) &&
        QUORVANE_RESOLVE(library, api, secret_service_search_for_dbus_paths_finish) &&
        QUORVANE_RESOLVE(library, api, secret_service_get_secret_for_dbus_path) &&
        QUORVANE_RESOLVE(library, api, secret_service_get_secret_for_dbus_path_finish) &&
        QUORVANE_RESOLVE(library, api, secret_collection_for_alias) &&
        QUORVANE_RESOLVE(library, api, secret_collection_for_alias_finish) &&
        QUORVANE_RESOLVE(library, api, secret_collection_get_locked) &&
        QUORVANE_RESOLVE(library, api, secret_item_create) &&
        QUORVANE_RESOLVE(library, api, secret_item_get_attributes) &&
        QUORVANE_RESOLVE(library, api, secret_item_set_secret) &&
        QUORVANE_RESOLVE(library, api, secret_item_set_secret_finish) &&
        QUORVANE_RESOLVE(library, api, g_hash_table_lookup) &&
        QUORVANE_RESOLVE(library, api, secret_item_create_finish) &&
        QUORVANE_RESOLVE(library, api, secret_item_delete) &&
        QUORVANE_RESOLVE(library, api, secret_item_delete_finish) &&
        QUORVANE_RESOLVE(library, api, secret_item_get_locked) &&
        QUORVANE_RESOLVE(library, api, secret_item_get_created) &&
        QUORVANE_RESOLVE(library, api, secret_item_get_modified) &&
        QUORVANE_RESOLVE(library, api, secret_item_get_secret) &&
        QUORVANE_RESOLVE(library, api, secret_item_load_secret) &&
        QUORVANE_RESOLVE(library, api, secret_item_load_secret_finish) &&
        QUORVANE_RESOLVE(library, api, secret_value_new) &&
        QUORVANE_RESOLVE(library, api, secret_value_get) &&
        QUORVANE_RESOLVE(library, api, secret_value_unref);
    // libsecret keeps values in memory it locks, and falls back to ordinary memory (still wiped)
    // when the lock limit is reached, as it is for a value of a few megabytes; it then prints a
    // line on standard error, which a one-shot command must keep for its own failures. The
    // switch is libsecret's own, exported though not declared; older or newer builds may lack it.
    if (auto* warnings = static_cast<int*>(os::findSymbol(library, "egg_secure_warnings"))) {
        *warnings = 0;
    }
    return complete ? &api : nullptr;
}

}  // namespace

const GlibLibrary* glibLibrary() {
    static const GlibLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform
