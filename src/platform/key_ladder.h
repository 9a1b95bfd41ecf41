#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/key_store.h"

namespace quorvane::platform {

// A rung of the key ladder: a key store, and whether new keys may be made in it now.
struct KeyRung {
    // What the rung is, in the words of the reason given when no rung can make a key
    // ("TPM", "desktop keyring").
    std::string name;
    // Opens the rung's store; called at most once, when the rung is first needed. Empty for a
    // rung this machine lacks: it is never searched, and only its reason is told.
    std::function<std::unique_ptr<KeyStore>()> open;
    // Why no new key can be made in this rung now, or nothing when one can. Absent for a rung
    // that only keeps keys made earlier (it is searched, never given a new key).
    std::function<std::optional<std::string>()> cannotCreate;
};

// KeyLadder is the presence key store of a machine with several places a key can live, ordered
// strongest first. A new key goes to the strongest rung that can make one now; an existing key
// is used wherever it is, and never moved: not down when a stronger rung disappears (its use
// then fails, it is not replaced), and not up when a stronger rung appears (the application
// moves it by resetting the key and wrapping again).
//
// One object is used by one thread at a time.
class KeyLadder final : public KeyStore {
  public:
    explicit KeyLadder(std::vector<KeyRung> rungs);

    // find: the first rung's key, strongest first; nullptr when no rung has one. Never raises.
    std::unique_ptr<PresenceKey> find() override;
    // findForUse: the key of the rung that holds one, bound to `request`, so that only that
    // store asks about presence. When no rung shows a key, every rung is asked in turn, so that
    // PresenceUnavailable and a failed lookup (a locked keyring) are reported rather than taken
    // for "no key"; nullptr when all answer none.
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    // create: a key in the strongest rung that can make one now. Raises KeyStoreError
    // (Step::create) with that rung's failure, or, when no rung can make one, with every rung's
    // reason ("no presence key can be made here: no usable TPM (…); no desktop keyring (…)").
    std::unique_ptr<PresenceKey> create() override;
    // remove: removes the key from every rung; raises the first rung's KeyStoreError after all
    // were tried.
    void remove() override;
    // canCreate: some rung can make a key now.
    bool canCreate() override;

  private:
    struct Rung {
        KeyRung description;
        std::unique_ptr<KeyStore> store;
    };
    // store opens the rung's store on first use; nullptr for a rung this machine lacks.
    KeyStore* store(Rung& rung);
    std::vector<Rung> rungs_;
};

}  // namespace quorvane::platform
