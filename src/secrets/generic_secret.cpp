#include "secrets/generic_secret.h"

#include <string>

#include "base/errors.h"
#include "base/utf8.h"

namespace quorvane {
namespace {

using Step = platform::ItemStoreError::Step;

bool isUtf8(std::span<const std::uint8_t> bytes) {
    return isValidUtf8({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// failureText is the fixed message of a failed store step; the store's detail ends it.
std::string failureText(const platform::ItemStoreError& failure) {
    switch (failure.step()) {
        case Step::replace:
            return "keychain secret update failed: " + failure.detail();
        case Step::create:
            return "keychain secret store failed: " + failure.detail();
        case Step::damaged:
            return "invalid keychain secret data";
        case Step::remove:
            return "keychain secret delete failed: " + failure.detail();
        case Step::load:
            break;
    }
    return "keychain secret load failed: " + failure.detail();
}

template <class Operation>
auto reported(Operation operation) {
    try {
        return operation();
    } catch (const platform::ItemStoreError& failure) {
        throw HelperError(failureText(failure));
    }
}

}  // namespace

void storeGenericSecret(platform::ItemStore& store, std::string_view service,
                        std::string_view account, const SecretBytes& secret) {
    if (!isUtf8(secret.span())) throw HelperError("invalid secret utf8");
    reported([&] { store.storeSecret({service, account}, secret.span()); });
}

SecretBytes loadGenericSecret(platform::ItemStore& store, std::string_view service,
                              std::string_view account) {
    std::optional<SecretBytes> value = reported([&] {
        return store.loadSecret({service, account});
    });
    if (!value) throw HelperError("keychain secret missing");
    if (!isUtf8(value->span())) throw HelperError("invalid keychain secret data");
    return std::move(*value);
}

void deleteGenericSecret(platform::ItemStore& store, std::string_view service,
                         std::string_view account) {
    reported([&] { store.deleteSecret({service, account}); });
}

}  // namespace quorvane
