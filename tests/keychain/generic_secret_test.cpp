// The generic-secret store on a plain in-memory item store: what each operation promises, and
// every failure text in the order its check runs.
#include "keychain/generic_secret.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/errors.h"
#include "support/error_text.h"
#include "support/fake_services.h"

namespace quorvane {
namespace {

using testing::FakeItemStore;
using Step = platform::ItemStoreError::Step;

SecretBytes secretOf(std::string_view text) {
    return SecretBytes::copyOf(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(GenericSecretTest, StoresReplacesLoadsAndDeletesByServiceAndAccount) {
    FakeItemStore store;
    storeGenericSecret(store, "mail", "dave", secretOf("first"));
    storeGenericSecret(store, "mail", "dave", secretOf("second"));
    storeGenericSecret(store, "mail", "dave ", secretOf("other account"));
    EXPECT_EQ(store.secrets.size(), 2u) << "names are used exactly as given";
    EXPECT_EQ(loadGenericSecret(store, "mail", "dave").view(), "second");

    deleteGenericSecret(store, "mail", "dave");
    EXPECT_EQ(testing::errorText([&] { loadGenericSecret(store, "mail", "dave"); }),
              "keychain secret missing");
    deleteGenericSecret(store, "mail", "dave");  // a missing secret deletes fine
    EXPECT_EQ(loadGenericSecret(store, "mail", "dave ").view(), "other account");
}

TEST(GenericSecretTest, TextThatIsNotUtf8IsRefusedOnTheWayInAndOut) {
    FakeItemStore store;
    EXPECT_EQ(testing::errorText([&] { storeGenericSecret(store, "s", "a", secretOf("\xff")); }),
              "invalid secret utf8");
    EXPECT_TRUE(store.secrets.empty()) << "refused before the store is touched";

    store.secrets[{"s", "a"}] = secretOf("\xc3");
    EXPECT_EQ(testing::errorText([&] { loadGenericSecret(store, "s", "a"); }),
              "invalid keychain secret data");
}

TEST(GenericSecretTest, NamesTheStepThatFailedWithTheStoresDetail) {
    struct Case {
        const char* what;
        std::optional<Step> step;  // the step the store reports; its own when unset
        std::function<void(FakeItemStore&)> operation;
        const char* expected;
    };
    const Case cases[] = {
        {"create", std::nullopt, [](auto& s) { storeGenericSecret(s, "s", "a", secretOf("v")); },
         "keychain secret store failed: -40005"},
        {"replace", Step::replace, [](auto& s) { storeGenericSecret(s, "s", "a", secretOf("v")); },
         "keychain secret update failed: -40005"},
        {"load", std::nullopt, [](auto& s) { loadGenericSecret(s, "s", "a"); },
         "keychain secret load failed: -40005"},
        {"damaged item", Step::damaged, [](auto& s) { loadGenericSecret(s, "s", "a"); },
         "invalid keychain secret data"},
        {"delete", std::nullopt, [](auto& s) { deleteGenericSecret(s, "s", "a"); },
         "keychain secret delete failed: -40005"},
    };
    for (const Case& c : cases) {
        FakeItemStore store;
        store.secrets[{"s", "a"}] = secretOf("old");
        store.failWith = "-40005";
        store.failAs = c.step;
        EXPECT_EQ(testing::errorText([&] { c.operation(store); }), c.expected) << c.what;
        EXPECT_EQ(store.secrets.at({"s", "a"}).view(), "old") << c.what << ": nothing changed";
    }
}

}  // namespace
}  // namespace quorvane
