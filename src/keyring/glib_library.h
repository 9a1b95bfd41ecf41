#pragma once

// The calls by object path (secret_service_search_for_dbus_paths and the like) are declared only
// for programs that ask for them; they are what `secret-tool lookup` itself goes through.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

// libsecret and the GLib, GObject and GIO libraries under it are loaded only when the helper
// actually talks to the Secret Service. Linked at build time, they would be loaded and relocated,
// and GLib's type system and libgcrypt initialised, at every start of the helper (about 14 ms
// measured on a small program, against a few for the helper itself), and the one-shot commands
// start once per secret while --serve never needs them. Only their headers are used at build
// time, for the types and the signatures below.
namespace quorvane::platform {

// The libsecret, GLib, GObject and GIO entry points the keyring item store uses, resolved at
// run time. Each member has the type of the function of the same name.
struct GlibLibrary {
    // GLib: main contexts, timers and cancellation.
    decltype(&::g_main_context_new) g_main_context_new;
    decltype(&::g_main_context_unref) g_main_context_unref;
    decltype(&::g_main_context_push_thread_default) g_main_context_push_thread_default;
    decltype(&::g_main_context_pop_thread_default) g_main_context_pop_thread_default;
    decltype(&::g_main_context_iteration) g_main_context_iteration;
    decltype(&::g_timeout_source_new) g_timeout_source_new;
    decltype(&::g_source_set_callback) g_source_set_callback;
    decltype(&::g_source_attach) g_source_attach;
    decltype(&::g_source_destroy) g_source_destroy;
    decltype(&::g_source_unref) g_source_unref;
    decltype(&::g_cancellable_new) g_cancellable_new;
    decltype(&::g_cancellable_cancel) g_cancellable_cancel;
    decltype(&::g_cancellable_is_cancelled) g_cancellable_is_cancelled;
    // GLib: data.
    decltype(&::g_error_free) g_error_free;
    decltype(&::g_error_matches) g_error_matches;
    decltype(&::g_io_error_quark) g_io_error_quark;
    decltype(&::g_free) g_free;
    decltype(&::g_utf8_validate) g_utf8_validate;
    decltype(&::g_hash_table_new) g_hash_table_new;
    decltype(&::g_hash_table_insert) g_hash_table_insert;
    decltype(&::g_hash_table_unref) g_hash_table_unref;
    decltype(&::g_hash_table_lookup) g_hash_table_lookup;
    decltype(&::g_str_hash) g_str_hash;
    decltype(&::g_str_equal) g_str_equal;
    decltype(&::g_list_free) g_list_free;
    decltype(&::g_usleep) g_usleep;
    decltype(&::g_variant_new) g_variant_new;
    decltype(&::g_variant_get) g_variant_get;
    decltype(&::g_variant_unref) g_variant_unref;
    decltype(&::g_variant_lookup) g_variant_lookup;
    decltype(&::g_strfreev) g_strfreev;
    // GObject and GIO.
    decltype(&::g_object_ref) g_object_ref;
    decltype(&::g_object_unref) g_object_unref;
    decltype(&::g_bus_get) g_bus_get;
    decltype(&::g_bus_get_finish) g_bus_get_finish;
    decltype(&::g_dbus_connection_new_for_address) g_dbus_connection_new_for_address;
    decltype(&::g_dbus_connection_new_for_address_finish) g_dbus_connection_new_for_address_finish;
    decltype(&::g_dbus_connection_set_exit_on_close) g_dbus_connection_set_exit_on_close;
    decltype(&::g_dbus_connection_close) g_dbus_connection_close;
    decltype(&::g_dbus_connection_call) g_dbus_connection_call;
    decltype(&::g_dbus_connection_call_finish) g_dbus_connection_call_finish;
    decltype(&::g_dbus_error_get_remote_error) g_dbus_error_get_remote_error;
    decltype(&::g_dbus_error_strip_remote_error) g_dbus_error_strip_remote_error;
    decltype(&::g_dbus_proxy_get_object_path) g_dbus_proxy_get_object_path;
    decltype(&::g_dbus_proxy_get_name) g_dbus_proxy_get_name;
    // libsecret.
    decltype(&::secret_service_get) secret_service_get;
    decltype(&::secret_service_get_finish) secret_service_get_finish;
    decltype(&::secret_service_search) secret_service_search;
    decltype(&::secret_service_search_finish) secret_service_search_finish;
    decltype(&::secret_service_search_for_dbus_paths) secret_service_search_for_dbus_paths;
    decltype(&::secret_service_search_for_dbus_paths_finish)
        secret_service_search_for_dbus_paths_finish;
    decltype(&::secret_service_get_secret_for_dbus_path) secret_service_get_secret_for_dbus_path;
    decltype(&::secret_service_get_secret_for_dbus_path_finish)
        secret_service_get_secret_for_dbus_path_finish;
    decltype(&::secret_collection_for_alias) secret_collection_for_alias;
    decltype(&::secret_collection_for_alias_finish) secret_collection_for_alias_finish;
    decltype(&::secret_collection_get_locked) secret_collection_get_locked;
    decltype(&::secret_item_create) secret_item_create;
    decltype(&::secret_item_create_finish) secret_item_create_finish;
    decltype(&::secret_item_delete) secret_item_delete;
    decltype(&::secret_item_delete_finish) secret_item_delete_finish;
    decltype(&::secret_item_get_locked) secret_item_get_locked;
    decltype(&::secret_item_get_created) secret_item_get_created;
    decltype(&::secret_item_get_modified) secret_item_get_modified;
    decltype(&::secret_item_get_secret) secret_item_get_secret;
    decltype(&::secret_item_load_secret) secret_item_load_secret;
    decltype(&::secret_item_load_secret_finish) secret_item_load_secret_finish;
    decltype(&::secret_item_get_attributes) secret_item_get_attributes;
    decltype(&::secret_item_set_secret) secret_item_set_secret;
    decltype(&::secret_item_set_secret_finish) secret_item_set_secret_finish;
    decltype(&::secret_value_new) secret_value_new;
    decltype(&::secret_value_get) secret_value_get;
    decltype(&::secret_value_unref) secret_value_unref;
};

// glibLibrary loads libsecret (which brings GLib, GObject and GIO) on first call and returns its
// entry points, or nullptr when the library or any entry point is missing. The libraries stay
// loaded for the life of the process: GLib cannot be unloaded safely. Thread-safe.
const GlibLibrary* glibLibrary();

}  // namespace quorvane::platform
