#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/key_store.h"

namespace quorvane::platform {

// RungFailed is raised by a rung that is there and failed to answer (a service that is installed
// and timed out, hit a limit of the bus, or answered with an error), from its `unavailable` or
// from its store's holdsKey. The ladder goes no lower then: no weaker rung gets a new key, and
// unwrapping fails with the reason. Whoever can make a rung fail (a program of the user that
// exhausts the bus, a neighbour who stalls the service) must not be able to move keys down.
class RungFailed : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A rung of the key ladder: a key store, and whether it answers now.
struct KeyRung {
    // What the rung is, in the words of the reason given when no rung can make a key
    // ("key service", "TPM", "desktop keyring").
    std::string name;
    // Opens the rung's store; called at most once, when the rung is first needed. Empty for a
    // rung this machine lacks: it is never searched, and only its reason is told.
    std::function<std::unique_ptr<KeyStore>()> open;
    // Why the rung does not answer now (no new key can be made in it, and its key is not used
    // for new wraps), or nothing when it answers; raises RungFailed when the rung is there and
    // could not be asked. Absent for a rung that only keeps keys made
    // earlier: it is searched for unwrapping, never wrapped to.
    std::function<std::optional<std::string>()> unavailable;
};

// KeyLadder is the presence key store of a machine with several places a key can live, ordered
// strongest first.
//
// - Wrapping (find, create) uses only the strongest rung that answers now: its key, or a new one
//   made there. A key on a lower rung is never wrapped to while a stronger rung answers, so a key
//   planted in a weaker place (a scalar written into the user's own store) never receives a new
//   blob. A key that rung can no longer use is refused, not replaced (the application resets the
//   key and wraps again).
// - Unwrapping (findForUse) may use every rung's key: blobs made before a stronger rung appeared
//   still open. The keys are tried strongest first with one prompt: once the person confirmed at
//   one key's prompt and that key did not open the blob, the next is tried without asking again.
// - Nothing moves between rungs by itself; remove clears every rung.
//
// One object is used by one thread at a time.
class KeyLadder final : public KeyStore {
  public:
    explicit KeyLadder(std::vector<KeyRung> rungs);

    // find: the key of the strongest rung that answers now; nullptr when it holds none (or no
    // rung answers). Never raises.
    std::unique_ptr<PresenceKey> find() override;
    // A rung that raises RungFailed stops the ladder in every method: find gives nullptr, create
    // raises KeyStoreError (Step::create), findForUse KeyStoreError (Step::load), canCreate
    // PresenceUnavailable, each with the rung's reason.
    //
    // findForUse: when no rung shows a key, every rung is asked in turn, so that
    // PresenceUnavailable and a failed lookup (a locked keyring) are reported rather than taken
    // for "no key"; nullptr when all answer none. Otherwise a key that tries the keys of every
    // rung that holds one, strongest first: the strongest is found for use at once (its store
    // checks presence, once), the others only when they are needed. Its decrypt raises at once
    // a failure that is not "this key cannot be used" or "the blob is not for this key" (a
    // refused prompt); when every key failed so, the first key's "cannot be used" if there was
    // one, else the last failure.
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    // create: a key in the strongest rung that answers now. Raises KeyStoreError (Step::create)
    // with that rung's failure, or, when no rung answers, with every rung's reason ("no presence
    // key can be made here: no usable key service (…); no usable TPM (…); …").
    std::unique_ptr<PresenceKey> create() override;
    // remove: removes the key from every rung; raises the first rung's KeyStoreError after all
    // were tried.
    void remove() override;
    // canCreate: the strongest rung that answers now can make a key or use the one it holds.
    // Raises PresenceUnavailable when a rung failed: that is reported, not a weaker rung offered.
    bool canCreate() override;

  private:
    struct Rung {
        KeyRung description;
        std::unique_ptr<KeyStore> store;
    };
    class LadderKey;
    // store opens the rung's store on first use; nullptr for a rung this machine lacks.
    KeyStore* store(Rung& rung);
    // answering returns the strongest rung that answers now, or nullptr with every reason in
    // `reasons` ("no usable <name> (<reason>)", joined by "; "). Lets RungFailed through.
    Rung* answering(std::string* reasons);
    std::vector<Rung> rungs_;
};

}  // namespace quorvane::platform
