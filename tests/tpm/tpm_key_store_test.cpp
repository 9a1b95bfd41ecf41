// The TPM key store against a software TPM (swtpm) on a unix socket: what it keeps, what a copy
// of it is worth elsewhere, and when it releases anything.
#include "tpm/tpm_key_store.h"

#include <gtest/gtest.h>

#include "base/platform_error.h"
#include "base/process_values.h"
#include "crypto/ecies.h"
#include "support/fake_services.h"
#include "support/swtpm.h"
#include "tpm/tpm_key_item.h"

namespace quorvane::platform {
namespace {

using testing::FakeItemStore;
using testing::ScriptedPresence;
using testing::Swtpm;

const std::string kTag(TpmKeyStore::kTag);
// Where earlier versions kept the key, whichever kind it was.
const std::string kEarlierTag(values::keyTag);
const Bytes kVaultKey(32, 0x5a);

Bytes bytesOf(const SecretBytes& secret) {
    return Bytes(secret.data(), secret.data() + secret.size());
}

class TpmKeyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        tpm_ = std::make_unique<Swtpm>();
    }

    TpmKeyStore storeOn(FakeItemStore& items, const Swtpm& tpm) {
        return TpmKeyStore(items, presence_, tpm.tcti());
    }
    TpmKeyStore store() { return storeOn(items_, *tpm_); }

    // wrap makes the key on first use and seals the vault key to it.
    Bytes wrap() {
        TpmKeyStore keys = store();
        std::unique_ptr<PresenceKey> key = keys.find();
        if (!key) key = keys.create();
        return key->encrypt(kVaultKey);
    }

    static Bytes open(TpmKeyStore& keys, const Bytes& blob) {
        std::unique_ptr<PresenceKey> key = keys.findForUse(PromptRequest{"Unlock", -1});
        if (!key) throw std::runtime_error("no key");
        return bytesOf(key->decrypt(blob));
    }

    static std::string decryptFailure(TpmKeyStore& keys, const Bytes& blob) {
        try {
            open(keys, blob);
        } catch (const KeyStoreError& error) {
            EXPECT_EQ(error.step(), KeyStoreError::Step::decrypt);
            return error.detail();
        }
        ADD_FAILURE() << "the blob opened";
        return {};
    }

    std::unique_ptr<Swtpm> tpm_;
    FakeItemStore items_;
    ScriptedPresence presence_;
};

TEST_F(TpmKeyStoreTest, WrapsAndUnwrapsAfterOnePromptEachAndAfterAReboot) {
    const Bytes blob = wrap();
    EXPECT_EQ(blob.size(), ecies::kOverhead + kVaultKey.size());
    TpmKeyStore keys = store();
    // Every use loads and flushes its objects: without a resource manager a leaked handle would
    // exhaust swtpm's three object slots within these rounds.
    for (int round = 0; round < 4; ++round) EXPECT_EQ(open(keys, blob), kVaultKey);
    EXPECT_EQ(presence_.prompts, 4);

    tpm_->restart();
    EXPECT_EQ(open(keys, wrap()), kVaultKey);
    EXPECT_EQ(open(keys, blob), kVaultKey);
}

TEST_F(TpmKeyStoreTest, ACopyOfTheItemStoreOpensNothingOnAnotherTpm) {
    const Bytes blob = wrap();
    FakeItemStore copy;
    for (const auto& [tag, bytes] : items_.keyItems)
        copy.keyItems[tag] = SecretBytes::copyOf(bytes.span());
    Swtpm otherTpm;
    TpmKeyStore elsewhere = storeOn(copy, otherTpm);
    ASSERT_NE(elsewhere.find(), nullptr);  // the public half is readable
    EXPECT_NE(decryptFailure(elsewhere, blob).find("cannot load the presence key"),
              std::string::npos);
}

TEST_F(TpmKeyStoreTest, TheKeyItemHoldsNoScalarThatOpensTheBlob) {
    const Bytes blob = wrap();
    const Bytes item = bytesOf(items_.keyItems.at(kTag));
    ASSERT_TRUE(tpm::isKeyItem(item));
    ASSERT_NE(item.size(), 32u);  // never mistaken for a keyring key item
    for (std::size_t offset = 0; offset + 32 <= item.size(); ++offset) {
        std::span<const std::uint8_t> candidate(item.data() + offset, 32);
        EXPECT_THROW(ecies::decrypt(candidate, blob), quorvane::PlatformError)
            << "offset " << offset;
    }
}

TEST_F(TpmKeyStoreTest, ReleasesNothingWithoutAPassedPromptAndAsksNothingForGarbage) {
    const Bytes blob = wrap();
    TpmKeyStore keys = store();

    presence_.passes = false;
    EXPECT_EQ(decryptFailure(keys, blob), "user presence was not confirmed");

    presence_.passes = true;
    const int before = presence_.prompts;
    Bytes changed = blob;
    changed.back() ^= 1;
    EXPECT_EQ(decryptFailure(keys, changed), "ecies authentication failed");
    EXPECT_EQ(decryptFailure(keys, Bytes(blob.begin(), blob.begin() + 80)),
              "ecies ciphertext too short");
    EXPECT_EQ(presence_.prompts, before + 1);  // only the changed blob, which looks well-formed

    presence_.unavailable = "no agent";
    items_.failWith = "-1";  // the store must not be touched before presence is known
    EXPECT_THROW(keys.findForUse(PromptRequest{"Unlock", -1}), PresenceUnavailable);
}

// Earlier versions kept either kind of key under one tag; this store reads a TPM key item there
// and leaves anything else alone, making its own key under its own tag.
TEST_F(TpmKeyStoreTest, ItemsInOtherFormatsAreNotItsOwn) {
    struct Case {
        const char* name;
        Bytes item;
        bool damaged;  // a TPM item that cannot be read: findForUse reports, find is silent
    };
    Bytes marked(tpm::kItemMarker.begin(), tpm::kItemMarker.end());
    marked.push_back(0x00);
    const Case cases[] = {
        {"software scalar", Bytes(32, 0x11), false},
        {"marker then junk", marked, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        items_.keyItems.clear();
        items_.keyItems[kEarlierTag] = SecretBytes::copyOf(c.item);
        TpmKeyStore keys = store();
        EXPECT_EQ(keys.find(), nullptr);
        if (c.damaged) {
            EXPECT_THROW(keys.findForUse(PromptRequest{"Unlock", -1}), KeyStoreError);
        } else {
            EXPECT_EQ(keys.findForUse(PromptRequest{"Unlock", -1}), nullptr);
        }
        keys.create();
        EXPECT_EQ(bytesOf(items_.keyItems.at(kEarlierTag)), c.item) << "left where it is";
        EXPECT_TRUE(tpm::isKeyItem(bytesOf(items_.keyItems.at(kTag))));
        EXPECT_THROW(keys.create(), KeyStoreError);  // never replaces its own key
    }
}

TEST_F(TpmKeyStoreTest, AKeyMadeByAnEarlierVersionUnderTheOldTagStillOpens) {
    const Bytes blob = wrap();
    items_.keyItems[kEarlierTag] = std::move(items_.keyItems.at(kTag));
    items_.keyItems.erase(kTag);
    TpmKeyStore keys = store();
    EXPECT_EQ(open(keys, blob), kVaultKey);
}

// A key whose TPM was cleared is refused before anybody is asked, and never wrapped to.
TEST_F(TpmKeyStoreTest, AKeyTheTpmNoLongerLoadsFailsAtOnceAndIsNotWrappedTo) {
    const Bytes blob = wrap();
    tpm_ = std::make_unique<Swtpm>();  // a new TPM: new seeds, as after a clear
    TpmKeyStore keys = store();
    try {
        open(keys, blob);
        ADD_FAILURE() << "the blob opened";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.cause(), KeyStoreError::Cause::keyUnusable);
        EXPECT_NE(error.detail().find("cannot load the presence key"), std::string::npos);
    }
    EXPECT_EQ(presence_.prompts, 0);
    EXPECT_THROW(keys.find()->encrypt(kVaultKey), KeyStoreError);
    EXPECT_FALSE(keys.canCreate());
}

TEST_F(TpmKeyStoreTest, RemovedKeyIsGoneAndANewOneDoesNotOpenOldBlobs) {
    const Bytes blob = wrap();
    TpmKeyStore keys = store();
    keys.remove();
    keys.remove();  // twice is fine
    EXPECT_EQ(keys.findForUse(PromptRequest{"Unlock", -1}), nullptr);
    wrap();
    EXPECT_EQ(decryptFailure(keys, blob), "ecies authentication failed");
}

TEST_F(TpmKeyStoreTest, SaysWhyNoKeyCanBeMade) {
    FakeItemStore items;
    TpmKeyStore noDevice(items, presence_, "device:/nonexistent/tpmrm0");
    EXPECT_FALSE(noDevice.canCreate());
    EXPECT_EQ(TpmKeyStore::unavailableReason("device:/nonexistent/tpmrm0").value_or(""),
              "there is no TPM: /nonexistent/tpmrm0 does not exist");

    EXPECT_EQ(TpmKeyStore::unavailableReason(tpm_->tcti()), std::nullopt);
    EXPECT_TRUE(store().canCreate());
    tpm_->stop();
    TpmKeyStore silent = store();
    EXPECT_FALSE(silent.canCreate());
    try {
        silent.create();
        ADD_FAILURE() << "a key was made without a TPM";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.step(), KeyStoreError::Step::create);
        EXPECT_NE(error.detail().find("cannot be opened"), std::string::npos) << error.detail();
    }
    EXPECT_TRUE(items_.keyItems.empty());
}

}  // namespace
}  // namespace quorvane::platform
