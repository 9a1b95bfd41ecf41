#include "platform/key_ladder.h"

namespace quorvane::platform {

KeyLadder::KeyLadder(std::vector<KeyRung> rungs) {
    rungs_.reserve(rungs.size());
    for (KeyRung& rung : rungs) rungs_.push_back(Rung{std::move(rung), nullptr});
}

KeyStore* KeyLadder::store(Rung& rung) {
    if (!rung.store && rung.description.open) rung.store = rung.description.open();
    return rung.store.get();
}

std::unique_ptr<PresenceKey> KeyLadder::find() {
    for (Rung& rung : rungs_) {
        try {
            KeyStore* keys = store(rung);
            if (std::unique_ptr<PresenceKey> key = keys ? keys->find() : nullptr) return key;
        } catch (const std::exception&) {
            // A rung that cannot even be opened holds no key we could use.
        }
    }
    return nullptr;
}

std::unique_ptr<PresenceKey> KeyLadder::findForUse(const PromptRequest& request) {
    // Looking without a request first asks nobody, so presence is checked once, by the store
    // that holds the key.
    for (Rung& rung : rungs_) {
        KeyStore* keys = nullptr;
        bool holds = false;
        try {
            keys = store(rung);
            holds = keys != nullptr && keys->find() != nullptr;
        } catch (const std::exception&) {
        }
        if (holds) return keys->findForUse(request);
    }
    for (Rung& rung : rungs_) {
        KeyStore* keys = store(rung);
        if (keys == nullptr) continue;
        if (std::unique_ptr<PresenceKey> key = keys->findForUse(request)) return key;
    }
    return nullptr;
}

std::unique_ptr<PresenceKey> KeyLadder::create() {
    std::string reasons;
    for (Rung& rung : rungs_) {
        if (!rung.description.cannotCreate) continue;
        std::optional<std::string> reason = rung.description.cannotCreate();
        if (!reason) {
            if (KeyStore* keys = store(rung)) return keys->create();
            reason = "it cannot be opened";
        }
        if (!reasons.empty()) reasons += "; ";
        reasons += "no usable " + rung.description.name + " (" + *reason + ")";
    }
    if (reasons.empty()) reasons = "no key store can make one";
    throw KeyStoreError(KeyStoreError::Step::create,
                        "no presence key can be made here: " + reasons);
}

void KeyLadder::remove() {
    std::optional<KeyStoreError> first;
    for (Rung& rung : rungs_) {
        try {
            if (KeyStore* keys = store(rung)) keys->remove();
        } catch (const KeyStoreError& error) {
            if (!first) first = error;
        }
    }
    if (first) throw *first;
}

bool KeyLadder::canCreate() {
    for (Rung& rung : rungs_) {
        if (rung.description.cannotCreate && !rung.description.cannotCreate()) return true;
    }
    return false;
}

}  // namespace quorvane::platform
