#include "platform/secret_service/secret_service_item_store.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/secret_service/bus_deadline.h"
#include "platform/secret_service/secret_service_probe.h"

namespace quorvane::platform {
namespace {

using Step = ItemStoreError::Step;
using Attributes = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kKeyItemKind = "quorvane-key-item";
constexpr const char* kKeyItemLockName = "com.quorvane.Helper.KeyItemLock";
constexpr const char* kNotUtf8 = "the keyring cannot hold a name that is not UTF-8";
constexpr const char* kLocked = "the keyring is locked";
// RequestName's flag and answers (D-Bus specification).
constexpr guint32 kDoNotQueue = 4;
constexpr guint32 kPrimaryOwner = 1;
constexpr guint32 kAlreadyOwner = 4;
constexpr gulong kLockRetryMicroseconds = 20000;

Attributes secretAttributes(const SecretName& name) {
    return {{"service", std::string(name.service)}, {"account", std::string(name.account)}};
}

Attributes keyAttributes(std::string_view tag) {
    return {{"kind", kKeyItemKind}, {"tag", std::string(tag)}};
}

// Items is a list of found items, released with the list.
class Items {
  public:
    Items(const GlibLibrary& glib, GList* list) : glib_(glib) {
        for (GList* node = list; node != nullptr; node = node->next) {
            items_.push_back(static_cast<SecretItem*>(node->data));
        }
        glib_.g_list_free(list);
    }
    ~Items() {
        for (SecretItem* item : items_) glib_.g_object_unref(item);
    }
    Items(Items&&) = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    const std::vector<SecretItem*>& all() const { return items_; }

  private:
    const GlibLibrary& glib_;
    std::vector<SecretItem*> items_;
};

const char* objectPath(const GlibLibrary& glib, SecretItem* item) {
    return glib.g_dbus_proxy_get_object_path(reinterpret_cast<GDBusProxy*>(item));
}

}  // namespace

// The store's lasting state: the main context its calls run on and, once made, the session
// bus connection and the Secret Service proxy with its encrypted transfer session.
struct SecretServiceItemStore::Connection {
    explicit Connection(const GlibLibrary& library)
        : glib(library), context(library.g_main_context_new()) {}
    ~Connection() {
        if (service != nullptr) glib.g_object_unref(service);
        if (bus != nullptr) glib.g_object_unref(bus);
        glib.g_main_context_unref(context);
    }
    const GlibLibrary& glib;
    GMainContext* context;
    GDBusConnection* bus = nullptr;
    SecretService* service = nullptr;
};

// Operation is one call of the interface: its deadline, the step its failures name, and the
// Secret Service calls it is made of.
class SecretServiceItemStore::Operation {
  public:
    Operation(SecretServiceItemStore& store, Step step)
        : glib_(connected(store, step).glib),
          connection_(*store.connection_),
          deadline_(glib_, connection_.context, store.bound_),
          step_(step) {}

    [[noreturn]] void fail(std::string detail) const {
        throw ItemStoreError(step_, std::move(detail));
    }

    bool isUtf8(std::string_view text) const {
        return glib_.g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
    }

    // find returns every item, in any collection, whose attributes include `attributes`, with
    // the values of the unlocked ones loaded; with `stepWhenFound`, its failures from then on
    // name that step when there was an item. Fails when any of them is locked: a locked item
    // cannot be told from another, so its name cannot be answered for.
    Items find(const Attributes& attributes, std::optional<Step> stepWhenFound = std::nullopt) {
        SecretService* secrets = service();
        GHashTable* table = hashTable(attributes);
        auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
        // No schema: a schema adds its name to the search, which would miss items the desktop's
        // tools made and, on a locked collection, every item.
        GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
            glib_.secret_service_search(secrets, nullptr, table, flags, c, callback, data);
        });
        glib_.g_hash_table_unref(table);
        GError* error = nullptr;
        GList* list = finish(result, [&](GAsyncResult* r) {
            return glib_.secret_service_search_finish(secrets, r, &error);
        });
        if (list == nullptr && error != nullptr) fail(deadline_.describe(error));
        Items items(glib_, list);
        if (stepWhenFound && !items.all().empty()) step_ = *stepWhenFound;
        for (SecretItem* item : items.all()) {
            if (glib_.secret_item_get_locked(item)) fail(kLocked);
        }
        return items;
    }

    // value copies the loaded value of an unlocked item.
    SecretBytes value(SecretItem* item) {
        SecretValue* secret = glib_.secret_item_get_secret(item);
        if (secret == nullptr) fail("the Secret Service gave no value for the item");
        gsize length = 0;
        const gchar* bytes = glib_.secret_value_get(secret, &length);
        SecretBytes copy =
            SecretBytes::copyOf({reinterpret_cast<const std::uint8_t*>(bytes), length});
        glib_.secret_value_unref(secret);  // libsecret wipes its copy
        return copy;
    }

    // create makes an item in the default collection, replacing the value of an item there with
    // the same attributes when `replace` is set. Returns the item (the caller unrefs it).
    SecretItem* create(const Attributes& attributes, const std::string& label,
                       std::span<const std::uint8_t> bytes, bool replace) {
        SecretCollection* collection = defaultCollection();
        std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
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
        SecretItem* item = finish(
            result, [&](GAsyncResult* r) { return glib_.secret_item_create_finish(r, &error); });
        if (item == nullptr) fail(deadline_.describe(error));
        return item;
    }

    void remove(SecretItem* item) {
        GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
            glib_.secret_item_delete(item, c, callback, data);
        });
        GError* error = nullptr;
        bool removed = finish(result, [&](GAsyncResult* r) {
            return glib_.secret_item_delete_finish(item, r, &error) != FALSE;
        });
        if (!removed) fail(deadline_.describe(error));
    }

    // requestName asks the bus for `name` without queueing: true when this connection owns it
    // now, false when another does, nothing when the bus refused the request.
    std::optional<bool> requestName(const char* name) {
        service();
        GAsyncResult* result = deadline_.wait([&](GCancellable* c, auto callback, auto data) {
            glib_.g_dbus_connection_call(connection_.bus, "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "RequestName",
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

    // releaseName gives `name` back without waiting for the answer: the message is sent even if
    // the deadline has passed, and the bus drops the name anyway when the process ends.
    void releaseName(const char* name) {
        glib_.g_dbus_connection_call(connection_.bus, "org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
                                     glib_.g_variant_new("(s)", name), nullptr,
                                     G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }

    static Connection& connected(SecretServiceItemStore& store, Step step) {
        if (!store.connection_) {
            const GlibLibrary* glib = glibLibrary();
            if (glib == nullptr) {
                throw ItemStoreError(step, "the Secret Service library is not installed");
            }
            store.connection_ = std::make_unique<Connection>(*glib);
        }
        return *store.connection_;
    }

    // finish hands a completed call's result to `complete` (the call's _finish function),
    // or fails with the timeout text when the call was abandoned.
    template <class Complete>
    auto finish(GAsyncResult* result, Complete complete) -> decltype(complete(result)) {
        if (result == nullptr) fail(deadline_.timeoutText());
        auto outcome = complete(result);
        glib_.g_object_unref(result);
        return outcome;
    }

    GHashTable* hashTable(const Attributes& attributes) const {
        GHashTable* table = glib_.g_hash_table_new(glib_.g_str_hash, glib_.g_str_equal);
        for (const auto& [key, value] : attributes) {
            glib_.g_hash_table_insert(table, const_cast<char*>(key.c_str()),
                                      const_cast<char*>(value.c_str()));
        }
        return table;
    }

    SecretService* service() {
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
        SecretService* secrets = finish(
            result, [&](GAsyncResult* r) { return glib_.secret_service_get_finish(r, &error); });
        if (secrets == nullptr) fail(deadline_.describe(error));
        connection_.service = secrets;
        return secrets;
    }

    // failIfLocked fails when the default collection is locked. A search of a locked collection
    // finds its items on GNOME's keyring, but a Secret Service may also hide them: with nothing
    // found, only an unlocked collection proves the item absent.
    void failIfLocked() {
        SecretCollection* collection = aliased();
        if (collection == nullptr) return;
        bool locked = glib_.secret_collection_get_locked(collection);
        glib_.g_object_unref(collection);
        if (locked) fail(kLocked);
    }

    SecretCollection* defaultCollection() {
        SecretCollection* collection = aliased();
        if (collection == nullptr) fail("the keyring has no default collection");
        if (glib_.secret_collection_get_locked(collection)) {
            glib_.g_object_unref(collection);
            fail(kLocked);
        }
        return collection;
    }

  private:
    // aliased returns the default collection, or nullptr when there is none.
    SecretCollection* aliased() {
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

    const GlibLibrary& glib_;
    Connection& connection_;
    BusDeadline deadline_;
    Step step_;
};

namespace {

// newest picks the most recently changed item: after a store it is the one just written.
SecretItem* newest(const GlibLibrary& glib, const Items& items) {
    return *std::max_element(items.all().begin(), items.all().end(), [&](auto* a, auto* b) {
        return glib.secret_item_get_modified(a) < glib.secret_item_get_modified(b);
    });
}

// oldest picks the first key made: a key is never replaced, so the oldest is the one in use.
SecretItem* oldest(const GlibLibrary& glib, const Items& items) {
    return *std::min_element(items.all().begin(), items.all().end(), [&](auto* a, auto* b) {
        return glib.secret_item_get_created(a) < glib.secret_item_get_created(b);
    });
}

std::string secretLabel(const SecretName& name) {
    return std::string(name.service) + " (" + std::string(name.account) + ")";
}

}  // namespace

SecretServiceItemStore::SecretServiceItemStore(std::chrono::milliseconds bound) : bound_(bound) {}

SecretServiceItemStore::~SecretServiceItemStore() = default;

void SecretServiceItemStore::storeSecret(const SecretName& name,
                                         std::span<const std::uint8_t> value) {
    Operation operation(*this, Step::create);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) {
        operation.fail(kNotUtf8);
    }
    Attributes attributes = secretAttributes(name);
    Items earlier = operation.find(attributes, Step::replace);
    SecretItem* stored = operation.create(attributes, secretLabel(name), value, true);
    std::string storedPath = objectPath(connection_->glib, stored);
    connection_->glib.g_object_unref(stored);
    // Other items of the same name (in another collection, or made by another program with
    // further attributes) would otherwise keep an older value beside the new one.
    for (SecretItem* item : earlier.all()) {
        if (storedPath != objectPath(connection_->glib, item)) operation.remove(item);
    }
}

std::optional<SecretBytes> SecretServiceItemStore::loadSecret(const SecretName& name) {
    Operation operation(*this, Step::load);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) return std::nullopt;
    Items items = operation.find(secretAttributes(name));
    if (items.all().empty()) {
        operation.failIfLocked();
        return std::nullopt;
    }
    return operation.value(newest(connection_->glib, items));
}

void SecretServiceItemStore::deleteSecret(const SecretName& name) {
    Operation operation(*this, Step::remove);
    if (!operation.isUtf8(name.service) || !operation.isUtf8(name.account)) return;
    Items items = operation.find(secretAttributes(name));
    for (SecretItem* item : items.all()) operation.remove(item);
}

bool SecretServiceItemStore::addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) {
    Operation operation(*this, Step::create);
    if (!operation.isUtf8(tag)) operation.fail(kNotUtf8);
    // Without the lock, two helpers could both find no item and both add one, each then using a
    // different key. The lock is one per session, not per tag: keys are made rarely.
    std::optional<bool> owned;
    while ((owned = operation.requestName(kKeyItemLockName)) == false) {
        connection_->glib.g_usleep(kLockRetryMicroseconds);
    }
    // A bus that refuses the name (a policy that forbids owning names) leaves the check unlocked.
    struct Release {
        Operation& operation;
        bool owned;
        ~Release() {
            if (owned) operation.releaseName(kKeyItemLockName);
        }
    } release{operation, owned.has_value()};
    Attributes attributes = keyAttributes(tag);
    if (!operation.find(attributes).all().empty()) return false;
    SecretItem* item = operation.create(attributes, "Quorvane unlock key", bytes, false);
    connection_->glib.g_object_unref(item);
    return true;
}

std::optional<SecretBytes> SecretServiceItemStore::findKeyItem(std::string_view tag) {
    Operation operation(*this, Step::load);
    if (!operation.isUtf8(tag)) return std::nullopt;
    Items items = operation.find(keyAttributes(tag));
    if (items.all().empty()) {
        operation.failIfLocked();
        return std::nullopt;
    }
    return operation.value(oldest(connection_->glib, items));
}

void SecretServiceItemStore::deleteKeyItem(std::string_view tag) {
    Operation operation(*this, Step::remove);
    if (!operation.isUtf8(tag)) return;
    Items items = operation.find(keyAttributes(tag));
    for (SecretItem* item : items.all()) operation.remove(item);
}

}  // namespace quorvane::platform
