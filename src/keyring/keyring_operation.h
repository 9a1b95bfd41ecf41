#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "crypto/secret_bytes.h"
#include "keyring/bus_deadline.h"
#include "platform/item_store.h"

namespace quorvane::platform {

// KeyringAttributes are an item's attributes as name and value, both UTF-8.
using KeyringAttributes = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* kKeyringLocked = "the keyring is locked";

// KeyringConnection is what one item store keeps between operations: the main context its calls
// run on and, once made, the session bus connection and the Secret Service proxy with its
// encrypted transfer session. Not thread-safe.
struct KeyringConnection {
    explicit KeyringConnection(const GlibLibrary& library);
    ~KeyringConnection();
    KeyringConnection(const KeyringConnection&) = delete;
    KeyringConnection& operator=(const KeyringConnection&) = delete;

    const GlibLibrary& glib;
    GMainContext* context;
    GDBusConnection* bus = nullptr;
    SecretService* service = nullptr;
};

// The attribute in which the Secret Service records which program's schema an item follows.
inline constexpr const char* kSchemaAttribute = "xdg:schema";
// The schema libsecret gives items made without one (secret-tool's, for some values): no
// program's own.
inline constexpr const char* kGenericSchema = "org.freedesktop.Secret.Generic";

// FoundItems is a list of found items, released with the list.
class FoundItems {
  public:
    // Takes the items of `list`, except those that follow a schema other than `schema`: another
    // program's item with the same attributes is none of ours, to read, replace or delete. An
    // item with no schema at all, or libsecret's generic one (typed in with secret-tool, say), is
    // kept. A locked item is kept
    // whatever it claims: its attributes cannot be trusted to tell, and a find fails on it anyway.
    FoundItems(const GlibLibrary& glib, GList* list, const char* schema);
    ~FoundItems();
    FoundItems(FoundItems&&) = default;
    FoundItems(const FoundItems&) = delete;
    FoundItems& operator=(const FoundItems&) = delete;
    const std::vector<SecretItem*>& all() const { return items_; }

  private:
    const GlibLibrary& glib_;
    std::vector<SecretItem*> items_;
};

// KeyringOperation is one operation of the item store: the Secret Service calls it is made of,
// all under one BusDeadline, and the step its failures name. Every failure raises
// ItemStoreError with that step and a detail in plain words (see SecretServiceItemStore). Opens
// the connection on first need; never unlocks anything. Not thread-safe.
class KeyringOperation {
  public:
    KeyringOperation(KeyringConnection& connection, std::chrono::milliseconds bound,
                     ItemStoreError::Step step);

    [[noreturn]] void fail(std::string detail) const;
    bool isUtf8(std::string_view text) const;

    // find returns every item, in any collection, whose attributes include `attributes` and
    // that follows `schema` or no schema, without their values; with `stepWhenFound`, its
    // failures from then on name that step when there was an item. Fails when any of them is
    // locked: a locked item cannot be told from another, so its name cannot be answered for.
    FoundItems find(const KeyringAttributes& attributes, const char* schema,
                    std::optional<ItemStoreError::Step> stepWhenFound = std::nullopt);
    // newestPath is find followed by picking the most recently changed item, by object path:
    // the same answer, and the same failures, without making an object for each item found
    // (a handful of bus calls each). Returns the item's path and its change time, or nothing
    // when no item matches.
    std::optional<std::pair<std::string, std::int64_t>> newestPath(
        const KeyringAttributes& attributes, const char* schema);
    // value fetches and copies the value of one unlocked item: the only values ever fetched.
    SecretBytes value(SecretItem* item);
    // valueAt does the same for the item at `path`.
    SecretBytes valueAt(const std::string& path);
    // create makes an item in the default collection, replacing the value of an item there with
    // the same attributes when `replace` is set. Fails when there is no default collection or
    // it is locked. Returns the item (the caller unrefs it).
    SecretItem* create(const KeyringAttributes& attributes, const std::string& label,
                       std::span<const std::uint8_t> bytes, bool replace);
    // setValue replaces the value of an existing item, keeping its label and attributes.
    void setValue(SecretItem* item, std::span<const std::uint8_t> bytes);
    void remove(SecretItem* item);
    // failIfLocked fails when the default collection is locked. A search of a locked collection
    // finds its items on GNOME's keyring, but a Secret Service may also hide them: with nothing
    // found, only an unlocked collection proves the item absent.
    void failIfLocked();
    // requestName asks the bus for `name` without queueing: true when this connection owns it
    // now, false when another does, nothing when the bus refused the request.
    std::optional<bool> requestName(const char* name);
    // releaseName gives `name` back without waiting for the answer: the message is sent even if
    // the deadline has passed, and the bus drops the name anyway when the process ends.
    void releaseName(const char* name);

  private:
    // finish hands a completed call's result to `complete` (the call's _finish function),
    // or fails with the timeout text when the call was abandoned.
    template <class Complete>
    auto finish(GAsyncResult* result, Complete complete) -> decltype(complete(result)) {
        if (result == nullptr) fail(deadline_.timeoutText());
        auto outcome = complete(result);
        glib_.g_object_unref(result);
        return outcome;
    }
    GHashTable* hashTable(const KeyringAttributes& attributes) const;
    SecretBytes copyValue(SecretValue* secret);
    SecretService* service();
    SecretCollection* defaultCollection();
    // aliased returns the default collection, or nullptr when there is none.
    SecretCollection* aliased();

    const GlibLibrary& glib_;
    KeyringConnection& connection_;
    BusDeadline deadline_;
    ItemStoreError::Step step_;
};

}  // namespace quorvane::platform
