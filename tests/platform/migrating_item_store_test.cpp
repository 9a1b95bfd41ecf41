#include "platform/migrating_item_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/linux/file_item_store.h"
#include "support/helper_process.h"
#include "support/store_file.h"

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
    // When each secret was written (seconds); storeSecret writes `clock` there, or no time.
    std::map<std::pair<std::string, std::string>, std::int64_t> times;
    std::optional<std::int64_t> clock;
    std::map<std::string, std::string> keys;
    std::set<std::string>
        failing;  // "store", "load", "delete", "add-key", "find-key", "delete-key"

    void storeSecret(const SecretName& name, std::span<const std::uint8_t> value) override {
        failIf("store", Step::create);
        secrets[key(name)] = std::string(value.begin(), value.end());
        if (clock) {
            times[key(name)] = *clock;
        } else {
            times.erase(key(name));
        }
    }
    std::optional<DatedSecret> loadDatedSecret(const SecretName& name) override {
        std::optional<SecretBytes> value = loadSecret(name);
        if (!value) return std::nullopt;
        auto time = times.find(key(name));
        return DatedSecret{std::move(*value),
                           time == times.end() ? std::nullopt : std::optional(time->second)};
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

// Every order of events leaves the newer value, and the load that meets both copies settles them:
// no plaintext copy outlives the keyring's return, and nothing is lost when the keyring fails in
// the middle of it.
TEST_F(MigratingItemStoreTest, TheNewerCopyWinsAndTheLoadSettlesBoth) {
    struct Case {
        const char* what;
        std::optional<std::int64_t> keyringTime, fileTime;
        std::set<std::string> keyringFailing;
        std::string expected;  // "<error>": the load raises
        std::optional<std::string> keyringAfter, fileAfter;
    };
    const Case cases[] = {
        {"stored without a bus, then rotated in the keyring", 200, 100, {}, "k", "k", std::nullopt},
        {"stored in the keyring, then stored without a bus", 100, 200, {}, "f", "f", std::nullopt},
        {"written in the same second", 100, 100, {}, "f", "f", std::nullopt},
        {"a file copy from before times were kept: given, and never written over the keyring",
         200,
         std::nullopt,
         {},
         "f",
         "k",
         "f"},
        {"the keyring goes away in the middle of the move", 100, 200, {"store"}, "f", "k", "f"},
        // Locked: the file copy is what can be read, and stays.
        {"the keyring cannot be read", 100, 200, {"load"}, "f", "k", "f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        chosen->secrets = {{key, "k"}};
        chosen->times.clear();
        if (c.keyringTime) chosen->times[key] = *c.keyringTime;
        earlier->secrets = {{key, "f"}};
        earlier->times.clear();
        if (c.fileTime) earlier->times[key] = *c.fileTime;
        chosen->clock = 300;
        chosen->failing = c.keyringFailing;
        if (c.expected == "<error>") {
            EXPECT_THROW(store->loadSecret(name), ItemStoreError);
        } else {
            EXPECT_EQ(textOf(store->loadSecret(name)), c.expected);
        }
        chosen->failing.clear();
        auto after = [&](MapStore* s) -> std::optional<std::string> {
            auto found = s->secrets.find(key);
            if (found == s->secrets.end()) return std::nullopt;
            return found->second;
        };
        EXPECT_EQ(after(chosen), c.keyringAfter);
        EXPECT_EQ(after(earlier), c.fileAfter);
    }
}

// Copies left by a helper from before the file store kept times are dated by the file's last
// change. A keyring copy rotated after that wins and is kept, also for the secrets loaded after
// the first write of this helper has upgraded the file (which changes it once more): an old copy
// must never overwrite the newer one in the keyring.
TEST(MigratingItemStoreUpgradeTest, CopiesOfAnEarlierHelperNeverOverwriteANewerKeyringCopy) {
    testing::TempDir directory;
    const std::filesystem::path path =
        std::filesystem::path(directory.path()) / "quorvane" / "keychain.sqlite3";
    const SecretName first{"svc", "first"};
    const SecretName second{"svc", "second"};
    {
        FileItemStore file(path);
        file.storeSecret(first, bytesOf("old first"));
        file.storeSecret(second, bytesOf("old second"));
    }
    {
        testing::StoreDatabase database(path);  // back to the earlier helper's format
        database.text("ALTER TABLE generic_passwords DROP COLUMN modified");
        database.text("PRAGMA user_version = 1");
    }
    const timespec lastWritten[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), lastWritten, 0), 0);

    auto keyring = std::make_unique<MapStore>();
    MapStore& rotated = *keyring;
    for (const SecretName& name : {first, second}) {
        const std::pair<std::string, std::string> key{std::string(name.service),
                                                      std::string(name.account)};
        rotated.secrets[key] = "rotated " + key.second;
        rotated.times[key] = 2000;
    }
    MigratingItemStore store(std::move(keyring), std::make_unique<FileItemStore>(path));
    EXPECT_EQ(textOf(store.loadSecret(first)), "rotated first");
    EXPECT_EQ(textOf(store.loadSecret(second)), "rotated second");
    EXPECT_EQ((rotated.secrets[{"svc", "second"}]), "rotated second");
    FileItemStore file(path);
    EXPECT_EQ(textOf(file.loadSecret(first)), "<none>");
    EXPECT_EQ(textOf(file.loadSecret(second)), "<none>");
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
    EXPECT_EQ(earlier->secrets[key], "f");
}

TEST_F(MigratingItemStoreTest, StoreMovesTheSecretIntoTheKeyring) {
    earlier->secrets[key] = "old";
    store->storeSecret(name, bytesOf("new"));
    EXPECT_EQ(chosen->secrets[key], "new");
    EXPECT_FALSE(earlier->secrets.count(key));
    EXPECT_EQ(textOf(store->loadSecret(name)), "new");
}

// A store's answer says which value the secret has: the new one after success, the old one
// after a failure, whatever step failed.
TEST_F(MigratingItemStoreTest, AStoreSaysWhichValueTheSecretHas) {
    struct Case {
        const char* what;
        MapStore* broken;
        const char* operation;
        std::int64_t oldCopyTime;  // the keyring writes at 300
        bool succeeds;
    };
    for (const Case& c : {
             Case{"keyring write fails", chosen, "store", 100, false},
             // The new copy is the newer one and wins; the next load deletes the old copy.
             Case{"old copy cannot be removed", earlier, "delete", 100, true},
             // Written in the same second, the old copy would still win: the store failed.
             Case{"old copy of the same second cannot be removed", earlier, "delete", 300, false},
         }) {
        SCOPED_TRACE(c.what);
        chosen->secrets.clear();
        chosen->clock = 300;
        earlier->secrets = {{key, "old"}};
        earlier->times = {{key, c.oldCopyTime}};
        c.broken->failing = {c.operation};
        if (c.succeeds) {
            EXPECT_NO_THROW(store->storeSecret(name, bytesOf("new")));
        } else {
            EXPECT_THROW(store->storeSecret(name, bytesOf("new")), ItemStoreError);
        }
        c.broken->failing.clear();
        EXPECT_EQ(textOf(store->loadSecret(name)), c.succeeds ? "new" : "old");
        chosen->clock = 400;
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
        if (!c.chosenLocked) {
            EXPECT_EQ(chosen->keys.count("tag"), 1u);
        }
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
