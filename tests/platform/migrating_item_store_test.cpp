#include "platform/migrating_item_store.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace quorvane::platform {
namespace {

using Step = ItemStoreError::Step;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string textOf(const std::optional<SecretBytes>& value) {
    return value ? std::string(value->view()) : "<none>";
}

// MapStore is an item store in memory whose operations can be made to fail, each by name.
class MapStore final : public ItemStore {
  public:
    std::map<std::pair<std::string, std::string>, std::string> secrets;
    std::map<std::string, std::string> keys;
    std::set<std::string>
        failing;  // "store", "load", "delete", "add-key", "find-key", "delete-key"

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override {
        failIf("store", Step::create);
        secrets[key(name)] = std::string(value.begin(), value.end());
    }
    std::optional<SecretBytes> loadSecret(const SecretName& name) override {
        failIf("load", Step::load);
        auto found = secrets.find(key(name));
        if (found == secrets.end()) return std::nullopt;
        return SecretBytes::copyOf(found->second);
    }
    void deleteSecret(const SecretName& name) override {
        failIf("delete", Step::remove);
        secrets.erase(key(name));
    }
    bool addKeyItem(std::string_view tag, std::span<const std::uint8_t> bytes) override {
        failIf("add-key", Step::create);
        return keys.emplace(std::string(tag), std::string(bytes.begin(), bytes.end())).second;
    }
    std::optional<SecretBytes> findKeyItem(std::string_view tag) override {
        failIf("find-key", Step::load);
        auto found = keys.find(std::string(tag));
        if (found == keys.end()) return std::nullopt;
        return SecretBytes::copyOf(found->second);
    }
    void deleteKeyItem(std::string_view tag) override {
        failIf("delete-key", Step::remove);
        keys.erase(std::string(tag));
    }

  private:
    static std::pair<std::string, std::string> key(const SecretName& name) {
        return {std::string(name.service), std::string(name.account)};
    }
    void failIf(const char* operation, Step step) {
        if (failing.count(operation)) throw ItemStoreError(step, std::string(operation) + " broke");
    }
};

class MigratingItemStoreTest : public ::testing::Test {
  protected:
    MigratingItemStoreTest() {
        auto keyring = std::make_unique<MapStore>();
        auto file = std::make_unique<MapStore>();
        chosen = keyring.get();
        earlier = file.get();
        store = std::make_unique<MigratingItemStore>(std::move(keyring), std::move(file));
    }
    const SecretName name{"svc", "acct"};
    const std::pair<std::string, std::string> key{"svc", "acct"};
    MapStore* chosen;
    MapStore* earlier;
    std::unique_ptr<MigratingItemStore> store;
};

TEST_F(MigratingItemStoreTest, LoadFindsTheSecretWhereverItIs) {
    struct Case {
        const char* what;
        std::optional<std::string> inChosen, inEarlier, expected;
    };
    for (const Case& c : {
             Case{"only in the keyring", "k", std::nullopt, "k"},
             Case{"only in the file store, from before the keyring", std::nullopt, "f", "f"},
             // The file copy outlives a keyring write only when that write failed, or when it was
             // written while the keyring was out of reach: either way it is the current value.
             Case{"in both", "k", "f", "f"},
             Case{"nowhere", std::nullopt, std::nullopt, std::nullopt},
         }) {
        SCOPED_TRACE(c.what);
        chosen->secrets.clear();
        earlier->secrets.clear();
        if (c.inChosen) chosen->secrets[key] = *c.inChosen;
        if (c.inEarlier) earlier->secrets[key] = *c.inEarlier;
        EXPECT_EQ(textOf(store->loadSecret(name)), c.expected.value_or("<none>"));
    }
}

TEST_F(MigratingItemStoreTest, BrokenFileStoreDoesNotHideTheKeyring) {
    earlier->failing.insert("load");
    chosen->secrets[key] = "k";
    EXPECT_EQ(textOf(store->loadSecret(name)), "k");
    // With nothing in the keyring, the file store's failure is the answer, not "missing".
    chosen->secrets.clear();
    EXPECT_THROW(store->loadSecret(name), ItemStoreError);
}

TEST_F(MigratingItemStoreTest, LockedKeyringIsRaisedUnlessTheFileStoreHasTheSecret) {
    chosen->failing.insert("load");
    EXPECT_THROW(store->loadSecret(name), ItemStoreError);
    earlier->secrets[key] = "f";
    EXPECT_EQ(textOf(store->loadSecret(name)), "f");
}

TEST_F(MigratingItemStoreTest, StoreMovesTheSecretIntoTheKeyring) {
    earlier->secrets[key] = "old";
    store->storeSecret(name, bytesOf("new"));
    EXPECT_EQ(chosen->secrets[key], "new");
    EXPECT_FALSE(earlier->secrets.count(key));
    EXPECT_EQ(textOf(store->loadSecret(name)), "new");
}

TEST_F(MigratingItemStoreTest, FailedStoreKeepsTheOldValueVisible) {
    struct Case {
        const char* what;
        MapStore* broken;
        const char* operation;
    };
    for (const Case& c : {Case{"keyring write fails", chosen, "store"},
                          Case{"file copy cannot be removed", earlier, "delete"}}) {
        SCOPED_TRACE(c.what);
        chosen->secrets.clear();
        earlier->secrets = {{key, "old"}};
        c.broken->failing = {c.operation};
        EXPECT_THROW(store->storeSecret(name, bytesOf("new")), ItemStoreError);
        c.broken->failing.clear();
        // Never lost, never two answers: the old value until a store succeeds.
        EXPECT_EQ(textOf(store->loadSecret(name)), "old");
        store->storeSecret(name, bytesOf("newer"));
        EXPECT_EQ(textOf(store->loadSecret(name)), "newer");
        EXPECT_FALSE(earlier->secrets.count(key));
    }
}

TEST_F(MigratingItemStoreTest, DeleteRemovesBothCopiesAndReportsAFailure) {
    chosen->secrets[key] = "k";
    earlier->secrets[key] = "f";
    store->deleteSecret(name);
    EXPECT_TRUE(chosen->secrets.empty());
    EXPECT_TRUE(earlier->secrets.empty());
    store->deleteSecret(name);  // absent is success

    for (MapStore* broken : {chosen, earlier}) {
        chosen->secrets[key] = "k";
        earlier->secrets[key] = "k";
        broken->failing = {"delete"};
        EXPECT_THROW(store->deleteSecret(name), ItemStoreError);
        EXPECT_EQ(textOf(store->loadSecret(name)), "k");
        broken->failing.clear();
    }
}

TEST_F(MigratingItemStoreTest, KeyItemIsNeverAddedTwiceAcrossTheStores) {
    earlier->keys["tag"] = "file key";
    EXPECT_FALSE(store->addKeyItem("tag", bytesOf("new key")));
    EXPECT_FALSE(chosen->keys.count("tag"));
    EXPECT_TRUE(store->addKeyItem("other", bytesOf("new key")));
    EXPECT_EQ(chosen->keys["other"], "new key");
    EXPECT_FALSE(store->addKeyItem("other", bytesOf("newer key")));
    EXPECT_EQ(chosen->keys["other"], "new key");
}

TEST_F(MigratingItemStoreTest, FindMovesTheKeyOutOfTheFileStore) {
    struct Case {
        const char* what;
        std::optional<std::string> inChosen;
        bool chosenLocked;
        bool fileCopyRemains;
    };
    for (const Case& c : {
             Case{"keyring empty: moved", std::nullopt, false, false},
             Case{"same key there already (another helper moved it)", "file key", false, false},
             // Made while the keyring was out of reach; blobs may be sealed to either.
             Case{"a different key there: both stay", "keyring key", false, true},
             Case{"keyring locked: stays, still usable", std::nullopt, true, true},
         }) {
        SCOPED_TRACE(c.what);
        earlier->keys = {{"tag", "file key"}};
        chosen->keys.clear();
        if (c.inChosen) chosen->keys["tag"] = *c.inChosen;
        chosen->failing.clear();
        if (c.chosenLocked) chosen->failing = {"add-key", "find-key"};
        EXPECT_EQ(textOf(store->findKeyItem("tag")), "file key");
        EXPECT_EQ(earlier->keys.count("tag") == 1, c.fileCopyRemains);
        if (!c.chosenLocked) EXPECT_EQ(chosen->keys.count("tag"), 1u);
    }
}

TEST_F(MigratingItemStoreTest, DeleteKeyItemRemovesBothCopies) {
    earlier->keys["tag"] = "a";
    chosen->keys["tag"] = "b";
    store->deleteKeyItem("tag");
    EXPECT_TRUE(earlier->keys.empty());
    EXPECT_TRUE(chosen->keys.empty());
    EXPECT_EQ(textOf(store->findKeyItem("tag")), "<none>");
}

}  // namespace
}  // namespace quorvane::platform
