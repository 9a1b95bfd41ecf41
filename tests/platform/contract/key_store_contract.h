#pragma once

// The contract every key store passes, as a typed test suite. A backend joins it with a fixture
// type and one line:
//
//   struct MyKeyStoreFixture {
//       platform::KeyStore& keys();          // the store under test
//       void presence(std::optional<std::string> unavailable, bool passes);  // script the prompt
//       int prompts();                       // prompts shown so far
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(MyKeys, KeyStoreContract, MyKeyStoreFixture);

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/key_store.h"

namespace quorvane::testing {

template <class Fixture>
class KeyStoreContract : public ::testing::Test {
  protected:
    Fixture fixture;
    platform::KeyStore& keys() { return fixture.keys(); }
    const platform::PromptRequest request{"Unlock Quorvane vault", -1};
    const Bytes vaultKey = Bytes(32, 0x5a);

    static platform::KeyStoreError::Step stepOf(const std::function<void()>& body) {
        try {
            body();
        } catch (const platform::KeyStoreError& failure) {
            return failure.step();
        }
        ADD_FAILURE() << "no KeyStoreError";
        return platform::KeyStoreError::Step::load;
    }
};

TYPED_TEST_SUITE_P(KeyStoreContract);

TYPED_TEST_P(KeyStoreContract, MakesFindsAndDeletesOneKeyPair) {
    EXPECT_EQ(this->keys().find(), nullptr);
    EXPECT_EQ(this->keys().findForUse(this->request), nullptr);
    EXPECT_TRUE(this->keys().canCreate());
    EXPECT_EQ(this->keys().find(), nullptr) << "canCreate stores nothing";

    Bytes blob = this->keys().create()->encrypt(this->vaultKey);
    EXPECT_EQ(this->fixture.prompts(), 0) << "making and sealing ask nobody";
    // What one reference sealed, a later lookup of the same pair opens.
    Bytes again = this->keys().find()->encrypt(this->vaultKey);
    auto key = this->keys().findForUse(this->request);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->decrypt(blob).view(),
              std::string_view(reinterpret_cast<const char*>(this->vaultKey.data()), 32));
    EXPECT_EQ(key->decrypt(again).size(), 32u);

    this->keys().remove();
    EXPECT_EQ(this->keys().find(), nullptr);
    EXPECT_EQ(this->keys().findForUse(this->request), nullptr);
    EXPECT_NO_THROW(this->keys().remove());
}

TYPED_TEST_P(KeyStoreContract, DecryptsOnlyAfterAPassedPrompt) {
    Bytes blob = this->keys().create()->encrypt(this->vaultKey);
    this->fixture.presence(std::nullopt, false);
    auto key = this->keys().findForUse(this->request);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(this->stepOf([&] { (void)key->decrypt(blob); }),
              platform::KeyStoreError::Step::decrypt);
    EXPECT_EQ(this->fixture.prompts(), 1);

    this->fixture.presence(std::nullopt, true);
    EXPECT_EQ(key->decrypt(blob).size(), 32u);
    EXPECT_EQ(this->fixture.prompts(), 2) << "every decryption asks";
}

TYPED_TEST_P(KeyStoreContract, UnavailablePresenceStopsBeforeTheStore) {
    this->keys().create();
    this->fixture.presence(std::string("no way to ask"), true);
    EXPECT_THROW(this->keys().findForUse(this->request), platform::PresenceUnavailable);
    EXPECT_EQ(this->fixture.prompts(), 0);
}

TYPED_TEST_P(KeyStoreContract, ABlobForAnotherPairOpensNothing) {
    Bytes blob = this->keys().create()->encrypt(this->vaultKey);
    this->keys().remove();
    this->keys().create();
    auto key = this->keys().findForUse(this->request);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(this->stepOf([&] { (void)key->decrypt(blob); }),
              platform::KeyStoreError::Step::decrypt);
    Bytes damaged = this->keys().find()->encrypt(this->vaultKey);
    damaged.back() ^= 1;
    EXPECT_EQ(this->stepOf([&] { (void)key->decrypt(damaged); }),
              platform::KeyStoreError::Step::decrypt);
}

REGISTER_TYPED_TEST_SUITE_P(KeyStoreContract, MakesFindsAndDeletesOneKeyPair,
                            DecryptsOnlyAfterAPassedPrompt, UnavailablePresenceStopsBeforeTheStore,
                            ABlobForAnotherPairOpensNothing);

}  // namespace quorvane::testing
