#include "platform/key_ladder.h"

namespace quorvane::platform {

KeyLadder::KeyLadder(std::vector<KeyRung> rungs) {
    rungs_.reserve(rungs.size());
    for (KeyRung& rung : rungs) rungs_.push_back(Rung{std::move(rung), nullptr});
}

KeyStore& KeyLadder::store(Rung& rung) {
    if (!rung.store) rung.store = rung.description.open();
    return *rung.store;
}

std::unique_ptr<PresenceKey> KeyLadder::find() {
    for (Rung& rung : rungs_) {
        try {
            if (std::unique_ptr<PresenceKey> key = store(rung).find()) return key;
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
        bool holds = false;
        try {
            holds = store(rung).find() != nullptr;
        } catch (const std::exception&) {
        }
        if (holds) return store(rung).findForUse(request);
    }
    for (Rung& rung : rungs_) {
        if (std::unique_ptr<PresenceKey> key = store(rung).findForUse(request)) return key;
    }
    return nullptr;
}

std::unique_ptr<PresenceKey> KeyLadder::create() {
    std::string reasons;
    for (Rung& rung : rungs_) {
        if (!rung.description.cannotCreate) continue;
        std::optional<std::string> reason = rung.description.cannotCreate();
        if (!reason) return store(rung).create();
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
            store(rung).remove();
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
