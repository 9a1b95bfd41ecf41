// The key store contract, run against every key store this build has.
#include "platform/contract/key_store_contract.h"

#include "platform/linux/software_key_store.h"
#include "support/fake_services.h"

namespace quorvane::testing {
namespace {

// The software key store over the in-memory item store and a scripted prompt.
class SoftwareKeyStoreFixture {
  public:
    platform::KeyStore& keys() { return keys_; }
    void presence(std::optional<std::string> unavailable, bool passes) {
        presence_.unavailable = std::move(unavailable);
        presence_.passes = passes;
    }
    int prompts() { return presence_.prompts; }

  private:
    FakeItemStore items_;
    ScriptedPresence presence_;
    platform::SoftwareKeyStore keys_{items_, presence_};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Software, KeyStoreContract, SoftwareKeyStoreFixture);

}  // namespace
}  // namespace quorvane::testing
