#pragma once

#include <memory>
#include <optional>
#include <string>

#include "key_service/key_service_client.h"
#include "platform/key_store.h"
#include "platform/presence.h"

namespace quorvane::platform {

// ServiceKeyStore keeps the presence key in the key service (quorvane-keyd, docs/key-service.md):
// a system service of its own user that holds each user's key where none of that user's
// processes can read or use it, and computes the Diffie-Hellman step only after polkit confirmed
// the person's presence for the caller. The service's polkit check is the prompt: this store
// asks nobody itself.
//
// find and create give the key of the kind the service makes now (a TPM key where the TPM
// answers, else a software key kept in the service's state directory); unwrapping may use every
// key the user holds there, so blobs made for a key of another kind still open. Calls raise
// nothing but what KeyStore says, and RungFailed where said below; the service's failures become
// their details in plain words.
//
// One object is used by one thread at a time.
class ServiceKeyStore final : public KeyStore {
  public:
    // `busAddress`: the system bus where the service is (its standard address in production).
    // `terminal` (may be null) is started when the service finds no agent to ask the person
    // with, and the service asked once more.
    explicit ServiceKeyStore(std::string busAddress,
                             std::shared_ptr<TerminalPrompt> terminal = nullptr)
        : client_(std::move(busAddress)), terminal_(std::move(terminal)) {}

    // find: the key new wraps go to, when the user holds one; nullptr otherwise and when the
    // service cannot be asked. Its encrypt refuses a key the service can no longer use.
    std::unique_ptr<PresenceKey> find() override;
    // findForUse: a key bound to `request` when the user holds any key in the service; nullptr
    // when none, or when there is no service at all. Asks polkit nothing: the service does, in
    // decrypt, which raises PresenceUnavailable when no prompt can be offered. Raises
    // KeyStoreError(Step::load) when the service cannot be asked.
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    // create: the key new wraps go to, made by the service when the user has none. Raises
    // KeyStoreError(Step::create) with the service's reason.
    std::unique_ptr<PresenceKey> create() override;
    // remove: deletes every key of the user in the service; done when there is no service.
    // Raises KeyStoreError(Step::remove), also when the service may be there and did not answer.
    void remove() override;
    // canCreate: the service can make a key for the user now, or use the one there is.
    bool canCreate() override;
    // holdsKey: the user holds a key of any kind in the service. Raises RungFailed when the
    // service may be installed and did not answer (key_service::serviceAbsent): its key is not
    // to be taken for missing.
    bool holdsKey() override;

    // unavailableReason: nothing when the service answers and can make a key for this user or
    // holds one of the kind it makes now (usable or not); otherwise why not ("the key service
    // (…) is not installed", the service's reason). Raises RungFailed ("the key service (…)
    // cannot be asked now (…)") when a call failed in any way but "no such service": a
    // timeout, a limit of the bus, a connection the bus refused, an error of the service.
    std::optional<std::string> unavailableReason();

  private:
    key_service::Client client_;
    std::shared_ptr<TerminalPrompt> terminal_;
};

}  // namespace quorvane::platform
