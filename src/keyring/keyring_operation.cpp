#include "keyring/keyring_operation.h"

#include <cstring>

#include "keyring/secret_service_probe.h"

namespace quorvane::platform {
namespace {

using Step = ItemStoreError::Step;

// RequestName's flag and answers (D-Bus specification).
constexpr guint32 kDoNotQueue = 4;
constexpr guint32 kPrimaryOwner = 1;
constexpr guint32 kAlreadyOwner = 4;

// followsSchema says whether an item whose schema attribute is `followed` (nullptr for none) is
// one of `schema`'s, as FoundItems tells.
bool followsSchema(const char* followed, const char* schema) {
    return followed == nullptr || std::strcmp(followed, schema) == 0 ||
           std::strcmp(followed, kGenericSchema) == 0;
}

}  // namespace

KeyringConnection::KeyringConnection(const GlibLibrary& library)
    : glib(library), context(library.g_main_context_new()) {}

KeyringConnection::~KeyringConnection() {
    if (service != nullptr) glib.g_object_unref(service);
    if (bus != nullptr) glib.g_object_unref(bus);
    glib.g_main_context_unref(context);
}

FoundItems::FoundItems(const GlibLibrary& glib, GList* list, const char* schema) : glib_(glib) {
    for (GList* node = list; node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        bool ours = true;
        if (!glib_.secret_item_get_locked(item)) {
            GHashTable* attributes = glib_.secret_item_get_attributes(item);
            const auto* followed = attributes == nullptr
                                       ? nullptr
                                       : static_cast<const char*>(glib_.g_hash_table_lookup(
                                             attributes, kSchemaAttribute));
            ours = followsSchema(followed, schema);
            if (attributes != nullptr) glib_.g_hash_table_unref(attributes);
        }
        if (ours) {
            items_.push_back(item);
        } else {
            glib_.g_object_unref(item);
        }
    }
    glib_.g_list_free(list);
}

FoundItems::~FoundItems() {
    for (SecretItem* item : items_) glib_.g_object_unref(item);
}

KeyringOperation::KeyringOperation(KeyringConnection& connection, std::chrono::milliseconds bound,
                                   Step step)
    : glib_(connection.glib),
      connection_(connection),
      deadline_(glib_, connection.context, bound),
      step_(step) {}

void KeyringOperation::fail(std::string detail) const {
    throw ItemStoreError(step_, std::move(detail));
}

bool KeyringOperation::isUtf8(std::string_view text) const {
    return glib_.g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

FoundItems KeyringOperation::find(const KeyringAttributes& attributes, const char* schema,
                                  std::optional<Step> stepWhenFound) {
    SecretService* secrets = service();
    GHashTable* table = hashTable(attributes);
    // No schema in the search: a schema adds its name to it, which would miss items the
    // desktop's tools made and, on a locked collection, every item; FoundItems leaves out other
    // programs' items afterwards. No SECRET_SEARCH_LOAD_SECRETS: that would fetch the values of
    // those items too; value() fetches the one value wanted. No SECRET_SEARCH_UNLOCK: it prompts.
    auto flags = SECRET_SEARCH_ALL;
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_service_search(secrets, nullptr, table, flags, c, callback, data);
    });
    glib_.g_hash_table_unref(table);
    GError* error = nullptr;
    GList* list = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_service_search_finish(secrets, r, &error);
    });
    if (list == nullptr && error != nullptr) fail(deadline_.describe(error));
    FoundItems items(glib_, list, schema);
    if (stepWhenFound && !items.all().empty()) step_ = *stepWhenFound;
    for (SecretItem* item : items.all()) {
        if (glib_.secret_item_get_locked(item)) fail(kKeyringLocked);
    }
    return items;
}

std::optional<std::pair<std::string, std::int64_t>> KeyringOperation::newestPath(
    const KeyringAttributes& attributes, const char* schema) {
    SecretService* secrets = service();
    GHashTable* table = hashTable(attributes);
    // No schema in the search, as in find.
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_service_search_for_dbus_paths(secrets, nullptr, table, c, callback, data);
    });
    glib_.g_hash_table_unref(table);
    GError* error = nullptr;
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    bool searched = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_service_search_for_dbus_paths_finish(secrets, r, &unlocked, &locked,
                                                                 &error) != FALSE;
    });
    if (!searched) fail(deadline_.describe(error));
    // As in find: a locked item cannot be told from ours, whatever it claims.
    bool anyLocked = locked != nullptr && locked[0] != nullptr;
    glib_.g_strfreev(locked);
    if (anyLocked) {
        glib_.g_strfreev(unlocked);
        fail(kKeyringLocked);
    }
    std::vector<std::string> paths;
    for (gchar** path = unlocked; path != nullptr && *path != nullptr; ++path) {
        paths.emplace_back(*path);
    }
    glib_.g_strfreev(unlocked);

    std::optional<std::pair<std::string, std::int64_t>> newest;
    const gchar* owner = glib_.g_dbus_proxy_get_name(reinterpret_cast<GDBusProxy*>(secrets));
    for (const std::string& path : paths) {
        // One call for the two properties wanted, where an item object would make six.
        GAsyncResult* answered = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
            glib_.g_dbus_connection_call(connection_.bus, owner, path.c_str(),
                                         "org.freedesktop.DBus.Properties", "GetAll",
                                         glib_.g_variant_new("(s)", "org.freedesktop.Secret.Item"),
                                         reinterpret_cast<const GVariantType*>("(a{sv})"),
                                         G_DBUS_CALL_FLAGS_NONE, -1, c, callback, data);
        });
        GVariant* reply = finish(answered, [&](GAsyncResult* r) {
            return glib_.g_dbus_connection_call_finish(connection_.bus, r, &error);
        });
        if (reply == nullptr) fail(deadline_.describe(error));
        GVariant* properties = nullptr;
        glib_.g_variant_get(reply, "(@a{sv})", &properties);
        guint64 modified = 0;
        glib_.g_variant_lookup(properties, "Modified", "t", &modified);
        GVariant* itemAttributes = nullptr;
        const gchar* followed = nullptr;
        if (glib_.g_variant_lookup(properties, "Attributes", "@a{ss}", &itemAttributes)) {
            if (!glib_.g_variant_lookup(itemAttributes, kSchemaAttribute, "&s", &followed)) {
                followed = nullptr;
            }
        }
        bool ours = followsSchema(followed, schema);
        if (itemAttributes != nullptr) glib_.g_variant_unref(itemAttributes);
        glib_.g_variant_unref(properties);
        glib_.g_variant_unref(reply);
        auto changed = static_cast<std::int64_t>(modified);
        if (ours && (!newest || changed > newest->second)) newest.emplace(path, changed);
    }
    return newest;
}

SecretBytes KeyringOperation::valueAt(const std::string& path) {
    SecretService* secrets = service();
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_service_get_secret_for_dbus_path(secrets, path.c_str(), c, callback, data);
    });
    GError* error = nullptr;
    SecretValue* secret = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_service_get_secret_for_dbus_path_finish(secrets, r, &error);
    });
    if (secret == nullptr && error != nullptr) fail(deadline_.describe(error));
    if (secret == nullptr) fail("the Secret Service gave no value for the item");
    return copyValue(secret);
}

SecretBytes KeyringOperation::copyValue(SecretValue* secret) {
    gsize length = 0;
    const gchar* bytes = glib_.secret_value_get(secret, &length);
    SecretBytes copy = SecretBytes::copyOf({reinterpret_cast<const std::uint8_t*>(bytes), length});
    glib_.secret_value_unref(secret);  // libsecret wipes its copy
    return copy;
}

SecretBytes KeyringOperation::value(SecretItem* item) {
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_item_load_secret(item, c, callback, data);
    });
    GError* error = nullptr;
    bool loaded = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_item_load_secret_finish(item, r, &error) != FALSE;
    });
    if (!loaded) fail(deadline_.describe(error));
    SecretValue* secret = glib_.secret_item_get_secret(item);
    if (secret == nullptr) fail("the Secret Service gave no value for the item");
    return copyValue(secret);
}

SecretItem* KeyringOperation::create(const KeyringAttributes& attributes, const std::string& label,
                                     std::span<const std::uint8_t> bytes, bool replace) {
    SecretCollection* collection = defaultCollection();
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // Copied into libsecret's locked memory, wiped when released.
    SecretValue* secret =
        glib_.secret_value_new(text.data(), static_cast<gssize>(text.size()),
                               isUtf8(text) ? "text/plain" : "application/octet-stream");
    GHashTable* table = hashTable(attributes);
    auto flags = replace ? SECRET_ITEM_CREATE_REPLACE : SECRET_ITEM_CREATE_NONE;
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_item_create(collection, nullptr, table, label.c_str(), secret, flags, c,
                                 callback, data);
    });
    glib_.g_hash_table_unref(table);
    glib_.secret_value_unref(secret);
    glib_.g_object_unref(collection);
    GError* error = nullptr;
    SecretItem* item =
        finish(result, [&](GAsyncResult* r) { return glib_.secret_item_create_finish(r, &error); });
    if (item == nullptr) fail(deadline_.describe(error));
    return item;
}

void KeyringOperation::setValue(SecretItem* item, std::span<const std::uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // Copied into libsecret's locked memory, wiped when released.
    SecretValue* secret =
        glib_.secret_value_new(text.data(), static_cast<gssize>(text.size()),
                               isUtf8(text) ? "text/plain" : "application/octet-stream");
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_item_set_secret(item, secret, c, callback, data);
    });
    glib_.secret_value_unref(secret);
    GError* error = nullptr;
    bool set = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_item_set_secret_finish(item, r, &error) != FALSE;
    });
    if (!set) fail(deadline_.describe(error));
}

void KeyringOperation::remove(SecretItem* item) {
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_item_delete(item, c, callback, data);
    });
    GError* error = nullptr;
    bool removed = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_item_delete_finish(item, r, &error) != FALSE;
    });
    if (!removed) fail(deadline_.describe(error));
}

void KeyringOperation::failIfLocked() {
    SecretCollection* collection = aliased();
    if (collection == nullptr) return;
    bool locked = glib_.secret_collection_get_locked(collection);
    glib_.g_object_unref(collection);
    if (locked) fail(kKeyringLocked);
}

std::optional<bool> KeyringOperation::requestName(const char* name) {
    service();
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.g_dbus_connection_call(connection_.bus, "org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                                     glib_.g_variant_new("(su)", name, kDoNotQueue),
                                     reinterpret_cast<const GVariantType*>("(u)"),
                                     G_DBUS_CALL_FLAGS_NONE, -1, c, callback, data);
    });
    GError* error = nullptr;
    GVariant* reply = finish(result, [&](GAsyncResult* r) {
        return glib_.g_dbus_connection_call_finish(connection_.bus, r, &error);
    });
    if (reply == nullptr) {
        if (glib_.g_error_matches(error, glib_.g_io_error_quark(), G_IO_ERROR_CANCELLED)) {
            fail(deadline_.describe(error));
        }
        glib_.g_error_free(error);
        return std::nullopt;
    }
    guint32 answer = 0;
    glib_.g_variant_get(reply, "(u)", &answer);
    glib_.g_variant_unref(reply);
    return answer == kPrimaryOwner || answer == kAlreadyOwner;
}

void KeyringOperation::releaseName(const char* name) {
    glib_.g_dbus_connection_call(connection_.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "ReleaseName",
                                 glib_.g_variant_new("(s)", name), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                 -1, nullptr, nullptr, nullptr);
}

GHashTable* KeyringOperation::hashTable(const KeyringAttributes& attributes) const {
    // The table borrows the strings: libsecret copies them into the D-Bus message at once.
    GHashTable* table = glib_.g_hash_table_new(glib_.g_str_hash, glib_.g_str_equal);
    for (const auto& [key, value] : attributes) {
        glib_.g_hash_table_insert(table, const_cast<char*>(key.c_str()),
                                  const_cast<char*>(value.c_str()));
    }
    return table;
}

SecretService* KeyringOperation::service() {
    if (connection_.service != nullptr) return connection_.service;
    // GLib would otherwise launch a bus of its own (dbus-launch) when none is set.
    if (!sessionBusAddress()) fail("no session bus");
    GError* error = nullptr;
    if (connection_.bus == nullptr) {
        GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
            glib_.g_bus_get(G_BUS_TYPE_SESSION, c, callback, data);
        });
        GDBusConnection* bus =
            finish(result, [&](GAsyncResult* r) { return glib_.g_bus_get_finish(r, &error); });
        if (bus == nullptr) fail(deadline_.describe(error));
        // A lost bus is an error to report, not a reason for GLib to end the process.
        glib_.g_dbus_connection_set_exit_on_close(bus, FALSE);
        connection_.bus = bus;
    }
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_service_get(SECRET_SERVICE_OPEN_SESSION, c, callback, data);
    });
    SecretService* secrets =
        finish(result, [&](GAsyncResult* r) { return glib_.secret_service_get_finish(r, &error); });
    if (secrets == nullptr) fail(deadline_.describe(error));
    connection_.service = secrets;
    return secrets;
}

SecretCollection* KeyringOperation::defaultCollection() {
    SecretCollection* collection = aliased();
    if (collection == nullptr) fail("the keyring has no default collection");
    if (glib_.secret_collection_get_locked(collection)) {
        glib_.g_object_unref(collection);
        fail(kKeyringLocked);
    }
    return collection;
}

SecretCollection* KeyringOperation::aliased() {
    SecretService* secrets = service();
    GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
        glib_.secret_collection_for_alias(secrets, SECRET_COLLECTION_DEFAULT,
                                          SECRET_COLLECTION_NONE, c, callback, data);
    });
    GError* error = nullptr;
    SecretCollection* collection = finish(result, [&](GAsyncResult* r) {
        return glib_.secret_collection_for_alias_finish(r, &error);
    });
    if (collection == nullptr && error != nullptr) fail(deadline_.describe(error));
    return collection;
}

}  // namespace quorvane::platform
