// The key store contract, run against every key store this build has.
#include "platform/contract/key_store_contract.h"

#include "platform/key_ladder.h"
#include "platform/keyring_key_store.h"
#include "support/fake_services.h"
#include "support/swtpm.h"
#include "tpm/tpm_key_store.h"

namespace quorvane::testing {
namespace {

// The item store and the scripted prompt every fixture below builds its key store on.
class ScriptedServices {
  public:
    void presence(std::optional<std::string> unavailable, bool passes) {
        presence_.unavailable = std::move(unavailable);
        presence_.passes = passes;
    }
    int prompts() { return presence_.prompts; }

  protected:
    FakeItemStore items_;
    ScriptedPresence presence_;
};

// The keyring key store over the in-memory item store and a scripted prompt.
class KeyringKeyStoreFixture : public ScriptedServices {
  public:
    platform::KeyStore& keys() { return keys_; }

  private:
    platform::KeyringKeyStore keys_{items_, presence_};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Software, KeyStoreContract, KeyringKeyStoreFixture);

// The TPM key store on a software TPM of its own (swtpm must be installed).
class TpmKeyStoreFixture : public ScriptedServices {
  public:
    platform::KeyStore& keys() { return keys_; }

  private:
    Swtpm tpm_;
    platform::TpmKeyStore keys_{items_, presence_, tpm_.tcti()};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Tpm, KeyStoreContract, TpmKeyStoreFixture);

// The ladder as a Linux machine with a TPM assembles it: the TPM rung, then the keyring key
// of earlier versions, over one item store.
class KeyLadderFixture : public ScriptedServices {
  public:
    platform::KeyStore& keys() { return ladder_; }

  private:
    std::vector<platform::KeyRung> rungs() {
        std::vector<platform::KeyRung> rungs;
        rungs.push_back({"TPM",
                         [this] {
                             return std::make_unique<platform::TpmKeyStore>(items_, presence_,
                                                                            tpm_.tcti());
                         },
                         [this] { return platform::TpmKeyStore::unavailableReason(tpm_.tcti()); }});
        rungs.push_back(
            {"keyring key",
             [this] { return std::make_unique<platform::KeyringKeyStore>(items_, presence_); },
             {}});
        return rungs;
    }
    Swtpm tpm_;
    platform::KeyLadder ladder_{rungs()};
};

INSTANTIATE_TYPED_TEST_SUITE_P(Ladder, KeyStoreContract, KeyLadderFixture);

}  // namespace
}  // namespace quorvane::testing
