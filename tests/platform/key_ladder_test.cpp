// The key ladder composed of scripted stores: where new keys go, where existing keys are found,
// and that no key moves between rungs.
#include "platform/key_ladder.h"

#include <gtest/gtest.h>

namespace quorvane::platform {
namespace {

// A rung's store: holds a key or not, can make one or not, and records what was asked of it.
struct ScriptedRung {
    std::string name;
    bool holdsKey = false;
    std::optional<std::string> cannotCreate;  // nothing: new keys can be made here
    bool keepsOnly = false;                   // a rung for keys made earlier
    bool failsLookup = false;
    bool failsRemove = false;
    int findsForUse = 0;
    int removals = 0;
};

class NamedKey final : public PresenceKey {
  public:
    explicit NamedKey(std::string rung) : rung(std::move(rung)) {}
    Bytes encrypt(std::span<const std::uint8_t>) override {
        return Bytes(rung.begin(), rung.end());
    }
    SecretBytes decrypt(std::span<const std::uint8_t>) override {
        return SecretBytes::copyOf(rung);
    }
    std::string rung;
};

class ScriptedStore final : public KeyStore {
  public:
    explicit ScriptedStore(ScriptedRung& rung) : rung_(rung) {}
    std::unique_ptr<PresenceKey> find() override {
        return rung_.holdsKey && !rung_.failsLookup ? key() : nullptr;
    }
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest&) override {
        ++rung_.findsForUse;
        if (rung_.failsLookup) throw KeyStoreError(KeyStoreError::Step::load, rung_.name);
        return rung_.holdsKey ? key() : nullptr;
    }
    std::unique_ptr<PresenceKey> create() override {
        rung_.holdsKey = true;
        return key();
    }
    void remove() override {
        ++rung_.removals;
        if (rung_.failsRemove) throw KeyStoreError(KeyStoreError::Step::remove, rung_.name);
        rung_.holdsKey = false;
    }
    bool canCreate() override { return !rung_.cannotCreate; }

  private:
    std::unique_ptr<PresenceKey> key() { return std::make_unique<NamedKey>(rung_.name); }
    ScriptedRung& rung_;
};

// The production order: the TPM, a software key in the desktop keyring, and the software key
// file of earlier versions.
struct Machine {
    ScriptedRung tpm{"TPM", false, std::nullopt};
    ScriptedRung keyring{"desktop keyring", false, std::nullopt};
    ScriptedRung file{"key file", false, std::nullopt, true};
    bool keyringAbsent = false;  // the session has no keyring: the rung is named, never opened

    KeyLadder ladder() {
        std::vector<KeyRung> rungs;
        for (ScriptedRung* rung : {&tpm, &keyring, &file}) {
            KeyRung description{
                rung->name, [rung] { return std::make_unique<ScriptedStore>(*rung); }, {}};
            if (!rung->keepsOnly) description.cannotCreate = [rung] { return rung->cannotCreate; };
            if (rung == &keyring && keyringAbsent) description.open = nullptr;
            rungs.push_back(std::move(description));
        }
        return KeyLadder(std::move(rungs));
    }
};

std::string rungOf(const std::unique_ptr<PresenceKey>& key) {
    return key ? static_cast<const NamedKey&>(*key).rung : "(none)";
}

TEST(KeyLadder, ANewKeyGoesToTheStrongestRungPresent) {
    struct Case {
        const char* name;
        bool tpm;
        bool keyring;
        std::string expected;
    };
    const Case cases[] = {
        {"TPM and keyring", true, true, "TPM"},
        {"TPM only", true, false, "TPM"},
        {"keyring only", false, true, "desktop keyring"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        if (!c.tpm) machine.tpm.cannotCreate = "there is no TPM";
        if (!c.keyring) machine.keyring.cannotCreate = "no Secret Service";
        KeyLadder ladder = machine.ladder();
        EXPECT_TRUE(ladder.canCreate());
        EXPECT_EQ(rungOf(ladder.create()), c.expected);
        EXPECT_EQ(rungOf(ladder.find()), c.expected);
    }
}

TEST(KeyLadder, WithoutAnyRungNoKeyIsMadeAndTheReasonNamesWhatIsMissing) {
    Machine machine;
    machine.tpm.cannotCreate = "there is no TPM: /dev/tpmrm0 does not exist";
    machine.keyring.cannotCreate = "the session has no Secret Service";
    machine.keyringAbsent = true;
    KeyLadder ladder = machine.ladder();
    EXPECT_FALSE(ladder.canCreate());
    EXPECT_EQ(ladder.findForUse(PromptRequest{"Unlock", -1}), nullptr);
    EXPECT_EQ(machine.keyring.findsForUse, 0);
    try {
        ladder.create();
        ADD_FAILURE() << "a key was made";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.step(), KeyStoreError::Step::create);
        EXPECT_EQ(error.detail(),
                  "no presence key can be made here: no usable TPM (there is no TPM: "
                  "/dev/tpmrm0 does not exist); no usable desktop keyring (the session has no "
                  "Secret Service)");
    }
    EXPECT_FALSE(machine.file.holdsKey);  // the file of earlier keys never gets a new one
}

TEST(KeyLadder, AnExistingKeyIsUsedWhereItIsAndNeverMoves) {
    struct Case {
        const char* name;
        ScriptedRung Machine::*holder;
        bool tpmPresent;
    };
    const Case cases[] = {
        {"made before the change, in the key file", &Machine::file, true},
        {"in the keyring, the TPM appeared since", &Machine::keyring, true},
        {"in the TPM, which is gone now", &Machine::tpm, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        (machine.*c.holder).holdsKey = true;
        if (!c.tpmPresent) machine.tpm.cannotCreate = "there is no TPM";
        KeyLadder ladder = machine.ladder();
        const std::string holder = (machine.*c.holder).name;
        EXPECT_EQ(rungOf(ladder.find()), holder);
        EXPECT_EQ(rungOf(ladder.findForUse(PromptRequest{"Unlock", -1})), holder);
        // Only the holder was asked for use, so presence is checked once.
        EXPECT_EQ(machine.tpm.findsForUse + machine.keyring.findsForUse + machine.file.findsForUse,
                  1);
        EXPECT_EQ((machine.*c.holder).findsForUse, 1);
        EXPECT_EQ(machine.tpm.holdsKey + machine.keyring.holdsKey + machine.file.holdsKey, 1);
    }
}

TEST(KeyLadder, WithNoKeyShownEveryRungIsAskedSoAFailedLookupIsNotTakenForAbsence) {
    Machine machine;
    EXPECT_EQ(machine.ladder().findForUse(PromptRequest{"Unlock", -1}), nullptr);
    EXPECT_EQ(machine.tpm.findsForUse + machine.keyring.findsForUse + machine.file.findsForUse, 3);

    machine.keyring.holdsKey = true;
    machine.keyring.failsLookup = true;  // a locked keyring
    KeyLadder ladder = machine.ladder();
    try {
        ladder.findForUse(PromptRequest{"Unlock", -1});
        ADD_FAILURE() << "the failed lookup was taken for a missing key";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.step(), KeyStoreError::Step::load);
        EXPECT_EQ(error.detail(), "desktop keyring");
    }
}

TEST(KeyLadder, RemoveClearsEveryRungAndReportsTheFirstFailureAfterTryingAll) {
    Machine machine;
    machine.tpm.holdsKey = machine.file.holdsKey = true;
    machine.keyring.failsRemove = true;
    KeyLadder ladder = machine.ladder();
    try {
        ladder.remove();
        ADD_FAILURE() << "the failure was not reported";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.detail(), "desktop keyring");
    }
    EXPECT_FALSE(machine.tpm.holdsKey);
    EXPECT_FALSE(machine.file.holdsKey);
    EXPECT_EQ(machine.file.removals, 1);
}

}  // namespace
}  // namespace quorvane::platform
