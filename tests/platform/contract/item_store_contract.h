#pragma once

// The contract every item store passes, as a typed test suite. A backend joins it with a fixture
// type and one line:
//
//   struct MyStoreFixture {
//       std::unique_ptr<platform::ItemStore> open();  // a store object on the one shared store
//       bool damage();                                 // make the store unreadable; false: cannot
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(MyStore, ItemStoreContract, MyStoreFixture);
//
// open() may be called several times; every object sees the same items, and objects may be used
// from different threads at once (one object per thread), as helper processes would.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/secret_bytes.h"
#include "platform/item_store.h"

namespace quorvane::testing {

template <class Fixture>
class ItemStoreContract : public ::testing::Test {
  protected:
    Fixture fixture;
    std::unique_ptr<platform::ItemStore> store = fixture.open();

    static std::span<const std::uint8_t> bytes(std::string_view text) {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }
    std::string loaded(const platform::SecretName& name) {
        std::optional<SecretBytes> value = store->loadSecret(name);
        return value ? std::string(value->view()) : std::string("<none>");
    }
};

TYPED_TEST_SUITE_P(ItemStoreContract);

TYPED_TEST_P(ItemStoreContract, StoresReplacesLoadsAndDeletes) {
    platform::SecretName name{"svc", "acct"};
    EXPECT_EQ(this->loaded(name), "<none>");
    this->store->storeSecret(name, this->bytes("first\n"));
    EXPECT_EQ(this->loaded(name), "first\n");
    this->store->storeSecret(name, this->bytes("second"));
    EXPECT_EQ(this->loaded(name), "second");
    // Another object on the same store sees it.
    EXPECT_EQ(this->fixture.open()->loadSecret(name)->view(), "second");
    this->store->deleteSecret(name);
    EXPECT_EQ(this->loaded(name), "<none>");
    // Deleting what is not there is success.
    EXPECT_NO_THROW(this->store->deleteSecret(name));
}

TYPED_TEST_P(ItemStoreContract, NamesAreExactAndIndependent) {
    const platform::SecretName names[] = {
        {"svc", "acct"},  {"svc ", "acct"},  {"SVC", "acct"}, {"svc", "acct2"},
        {"s/v:c", "a=b"}, {"é \t\n", "\"'"}, {"acct", "svc"}, {"svcacct", "x"},
    };
    for (std::size_t i = 0; i < std::size(names); ++i) {
        this->store->storeSecret(names[i], this->bytes("value " + std::to_string(i)));
    }
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(this->loaded(names[i]), "value " + std::to_string(i)) << i;
    }
    this->store->deleteSecret(names[0]);
    EXPECT_EQ(this->loaded(names[1]), "value 1");
}

TYPED_TEST_P(ItemStoreContract, ValuesComeBackByteForByte) {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
    const std::string values[] = {"x", binary, std::string("a\0b", 3), "\xff\xfe",
                                  std::string(1 << 20, 'z')};
    for (const std::string& value : values) {
        this->store->storeSecret({"svc", "bin"}, this->bytes(value));
        EXPECT_EQ(this->loaded({"svc", "bin"}), value) << value.size();
    }
}

TYPED_TEST_P(ItemStoreContract, KeyItemsAreNeverReplacedAndApartFromSecrets) {
    EXPECT_FALSE(this->store->findKeyItem("tag").has_value());
    EXPECT_TRUE(this->store->addKeyItem("tag", this->bytes("key one")));
    EXPECT_FALSE(this->store->addKeyItem("tag", this->bytes("key two")));
    EXPECT_EQ(this->store->findKeyItem("tag")->view(), "key one");
    EXPECT_FALSE(this->store->findKeyItem("other").has_value());
    // A secret named like the tag is another item.
    this->store->storeSecret({"tag", "tag"}, this->bytes("secret"));
    EXPECT_EQ(this->store->findKeyItem("tag")->view(), "key one");
    this->store->deleteKeyItem("tag");
    EXPECT_FALSE(this->store->findKeyItem("tag").has_value());
    EXPECT_EQ(this->loaded({"tag", "tag"}), "secret");
    EXPECT_NO_THROW(this->store->deleteKeyItem("tag"));
}

TYPED_TEST_P(ItemStoreContract, ConcurrentStoresLoseNothing) {
    constexpr int kWriters = 6;
    constexpr int kRounds = 10;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            std::unique_ptr<platform::ItemStore> own = this->fixture.open();
            for (int r = 0; r < kRounds; ++r) {
                std::string value = std::to_string(w) + ":" + std::to_string(r);
                own->storeSecret({"shared", "name"}, this->bytes(value));
                own->storeSecret({"own", std::to_string(w)}, this->bytes(value));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(this->loaded({"own", std::to_string(w)}),
                  std::to_string(w) + ":" + std::to_string(kRounds - 1));
    }
    // The shared name holds one writer's last value, whole.
    std::string shared = this->loaded({"shared", "name"});
    EXPECT_EQ(shared.substr(shared.find(':')), ":" + std::to_string(kRounds - 1)) << shared;
}

TYPED_TEST_P(ItemStoreContract, ADamagedStoreFailsAndNeverReadsAsEmpty) {
    this->store->storeSecret({"svc", "acct"}, this->bytes("kept"));
    this->store->addKeyItem("tag", this->bytes("key"));
    if (!this->fixture.damage()) GTEST_SKIP() << "this store cannot be damaged from a test";
    std::unique_ptr<platform::ItemStore> reopened = this->fixture.open();
    EXPECT_THROW(reopened->loadSecret({"svc", "acct"}), platform::ItemStoreError);
    EXPECT_THROW(reopened->findKeyItem("tag"), platform::ItemStoreError);
    EXPECT_THROW(reopened->storeSecret({"svc", "acct"}, this->bytes("new")),
                 platform::ItemStoreError);
}

REGISTER_TYPED_TEST_SUITE_P(ItemStoreContract, StoresReplacesLoadsAndDeletes,
                            NamesAreExactAndIndependent, ValuesComeBackByteForByte,
                            KeyItemsAreNeverReplacedAndApartFromSecrets,
                            ConcurrentStoresLoseNothing, ADamagedStoreFailsAndNeverReadsAsEmpty);

}  // namespace quorvane::testing
