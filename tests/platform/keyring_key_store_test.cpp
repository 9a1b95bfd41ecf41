// What the keyring key store keeps and what it refuses, beyond the key store contract.
#include "platform/keyring_key_store.h"

#include <gtest/gtest.h>

#include "base/process_values.h"
#include "crypto/ecies.h"
#include "crypto/p256.h"
#include "support/fake_services.h"
#include "tpm/tpm_key_item.h"

namespace quorvane::platform {
namespace {

using testing::FakeItemStore;
using testing::ScriptedPresence;

const std::string kTag(KeyringKeyStore::kTag);
// Where earlier versions kept the key, whichever kind it was.
const std::string kEarlierTag(values::keyTag);

class KeyringKeyStoreTest : public ::testing::Test {
  protected:
    FakeItemStore items;
    ScriptedPresence presence;
    KeyringKeyStore keys{items, presence};
    const PromptRequest request{"Unlock Quorvane vault", -1};

    std::string failure(const std::function<void()>& body) {
        try {
            body();
        } catch (const KeyStoreError& error) {
            return error.detail();
        }
        return "<succeeded>";
    }
};

TEST_F(KeyringKeyStoreTest, APairIsOneKeyItemHoldingItsScalar) {
    Bytes blob = keys.create()->encrypt(Bytes(32, 1));
    ASSERT_EQ(items.keyItems.size(), 1u);
    const SecretBytes& scalar = items.keyItems.at(kTag);
    EXPECT_EQ(scalar.size(), 32u);
    EXPECT_TRUE(p256::isValidScalar(scalar.span()));
    // The stored scalar is the key: the blob opens with it directly (what a copied store gives
    // away, and why the desktop keyring or the TPM is preferred over a plain file).
    EXPECT_EQ(ecies::decrypt(scalar.span(), blob).size(), 32u);
}

TEST_F(KeyringKeyStoreTest, NeverReplacesAStoredPair) {
    keys.create();
    SecretBytes before = SecretBytes::copyOf(items.keyItems.at(kTag).span());
    EXPECT_EQ(failure([&] { keys.create(); }), "the new key could not be stored (status -25299)");
    EXPECT_EQ(items.keyItems.at(kTag).view(), before.view());
}

TEST_F(KeyringKeyStoreTest, StoreFailuresAreReportedWithTheirDetail) {
    items.failWith = "-40005";
    EXPECT_EQ(failure([&] { keys.create(); }), "the new key could not be stored (status -40005)");
    EXPECT_EQ(keys.find(), nullptr) << "a failed lookup reads as no key here";
    EXPECT_EQ(failure([&] { keys.findForUse(request); }), "-40005");
    EXPECT_EQ(failure([&] { keys.remove(); }), "-40005");

    items.failWith = "the keyring is locked";
    EXPECT_EQ(failure([&] { keys.create(); }),
              "the new key could not be stored: the keyring is locked");
}

TEST_F(KeyringKeyStoreTest, StoredBytesThatMakeNoKeyAreDamageNotAbsence) {
    for (const std::string& tag : {kTag, kEarlierTag}) {
        for (std::string bytes :
             {std::string("not a scalar"), std::string(32, '\0'), std::string(32, '\xff')}) {
            items.keyItems.clear();
            items.keyItems[tag] = SecretBytes::copyOf(bytes);
            EXPECT_EQ(keys.find(), nullptr);
            EXPECT_EQ(failure([&] { keys.findForUse(request); }), "-40007");
        }
    }
}

// Earlier versions kept either kind of key under one tag: a scalar there is this store's, a TPM
// key item there is not, and a new key never goes there.
TEST_F(KeyringKeyStoreTest, AScalarUnderTheEarlierTagIsFoundAndATpmItemThereIsNot) {
    SecretBytes earlier = p256::generateScalar();
    items.keyItems[kEarlierTag] = SecretBytes::copyOf(earlier.span());
    Bytes blob = keys.find()->encrypt(Bytes(32, 1));
    EXPECT_EQ(keys.findForUse(request)->decrypt(blob).size(), 32u);

    std::string tpmItem(platform::tpm::kItemMarker);
    tpmItem += std::string(200, '\x01');
    items.keyItems[kEarlierTag] = SecretBytes::copyOf(tpmItem);
    EXPECT_EQ(keys.find(), nullptr);
    EXPECT_EQ(keys.findForUse(request), nullptr);
    keys.create();
    EXPECT_EQ(items.keyItems.at(kEarlierTag).view(), tpmItem) << "left where it is";
    EXPECT_TRUE(items.keyItems.count(kTag));
}

TEST_F(KeyringKeyStoreTest, GarbageIsRefusedBeforeAnybodyIsAsked) {
    keys.create();
    auto key = keys.findForUse(request);
    for (Bytes blob : {Bytes{}, Bytes(80, 4), Bytes(200, 0)}) {
        EXPECT_NE(failure([&] { (void)key->decrypt(blob); }), "<succeeded>");
    }
    EXPECT_EQ(presence.prompts, 0);
}

TEST_F(KeyringKeyStoreTest, OnlyAKeyFoundForUseDecryptsAndThePromptCarriesItsReason) {
    Bytes blob = keys.create()->encrypt(Bytes(32, 1));
    EXPECT_EQ(failure([&] { (void)keys.find()->decrypt(blob); }), "the key was not loaded for use");
    EXPECT_EQ(presence.prompts, 0);
    EXPECT_EQ(keys.findForUse(request)->decrypt(blob).size(), 32u);
    EXPECT_EQ(presence.lastReason, "Unlock Quorvane vault");
}

TEST_F(KeyringKeyStoreTest, ARefusedPromptSaysWhy) {
    Bytes blob = keys.create()->encrypt(Bytes(32, 1));
    presence.passes = false;
    EXPECT_EQ(failure([&] { (void)keys.findForUse(request)->decrypt(blob); }),
              "user presence was not confirmed");
}

}  // namespace
}  // namespace quorvane::platform
