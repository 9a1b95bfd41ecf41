// The key ladder composed of scripted stores: where new wraps go, which keys an unwrap tries
// and how often the person is asked, and that no key moves between rungs.
#include "platform/key_ladder.h"

#include <gtest/gtest.h>

namespace quorvane::platform {
namespace {

using Cause = KeyStoreError::Cause;

// A rung's store: holds a key or not, answers or not, and records what was asked of it. Its key
// opens exactly the blob that spells the rung's name.
struct ScriptedRung {
    std::string name;
    bool holdsKey = false;
    std::optional<std::string> unavailable;  // set: the rung does not answer now
    std::optional<std::string> failing;      // set: the rung is there and failed to answer
    bool keepsOnly = false;                  // a rung for keys made earlier
    bool failsLookup = false;
    bool failsRemove = false;
    bool keyUnusable = false;  // its key can no longer be used (a cleared TPM)
    bool refuses = false;      // the person refuses at this rung's prompt
    int findsForUse = 0;
    int prompts = 0;
    int removals = 0;
    bool lastRequestConfirmed = false;
};

class NamedKey final : public PresenceKey {
  public:
    NamedKey(ScriptedRung& rung, std::optional<PromptRequest> request)
        : rung_(rung), request_(request) {}
    Bytes encrypt(std::span<const std::uint8_t>) override {
        return Bytes(rung_.name.begin(), rung_.name.end());
    }
    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        using Step = KeyStoreError::Step;
        if (!request_) throw KeyStoreError(Step::decrypt, "not for use");
        if (rung_.keyUnusable)
            throw KeyStoreError(Step::decrypt, rung_.name + " unusable", Cause::keyUnusable);
        if (!request_->confirmed) {
            ++rung_.prompts;
            if (rung_.refuses)
                throw KeyStoreError(Step::decrypt, "user presence was not confirmed");
        }
        if (std::string(blob.begin(), blob.end()) != rung_.name) {
            throw KeyStoreError(Step::decrypt, "ecies authentication failed", Cause::notThisKey);
        }
        return SecretBytes::copyOf(rung_.name);
    }

  private:
    ScriptedRung& rung_;
    std::optional<PromptRequest> request_;
};

class ScriptedStore final : public KeyStore {
  public:
    explicit ScriptedStore(ScriptedRung& rung) : rung_(rung) {}
    std::unique_ptr<PresenceKey> find() override {
        return rung_.holdsKey && !rung_.failsLookup
                   ? std::make_unique<NamedKey>(rung_, std::nullopt)
                   : nullptr;
    }
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override {
        ++rung_.findsForUse;
        rung_.lastRequestConfirmed = request.confirmed;
        if (rung_.failsLookup) throw KeyStoreError(KeyStoreError::Step::load, rung_.name);
        return rung_.holdsKey ? std::make_unique<NamedKey>(rung_, request) : nullptr;
    }
    std::unique_ptr<PresenceKey> create() override {
        rung_.holdsKey = true;
        return find();
    }
    void remove() override {
        ++rung_.removals;
        if (rung_.failsRemove) throw KeyStoreError(KeyStoreError::Step::remove, rung_.name);
        rung_.holdsKey = false;
    }
    bool canCreate() override { return !rung_.keyUnusable; }
    bool holdsKey() override {
        if (rung_.failing) throw RungFailed(*rung_.failing);
        return find() != nullptr;
    }

  private:
    ScriptedRung& rung_;
};

ScriptedRung named(const char* name) {
    ScriptedRung rung;
    rung.name = name;
    return rung;
}
ScriptedRung keepsOnly(ScriptedRung rung) {
    rung.keepsOnly = true;
    return rung;
}

// The production order: the key service, the TPM, a keyring key in the desktop keyring, and the
// keyring key of earlier versions in the file store.
struct Machine {
    ScriptedRung service = named("key service");
    ScriptedRung tpm = named("TPM");
    ScriptedRung keyring = named("desktop keyring");
    ScriptedRung file = keepsOnly(named("key file"));
    bool keyringAbsent = false;  // the session has no keyring: the rung is named, never opened

    KeyLadder ladder() {
        std::vector<KeyRung> rungs;
        for (ScriptedRung* rung : {&service, &tpm, &keyring, &file}) {
            KeyRung description{
                rung->name, [rung] { return std::make_unique<ScriptedStore>(*rung); }, {}};
            if (!rung->keepsOnly) {
                description.unavailable = [rung] {
                    if (rung->failing) throw RungFailed(*rung->failing);
                    return rung->unavailable;
                };
            }
            if (rung == &keyring && keyringAbsent) description.open = nullptr;
            rungs.push_back(std::move(description));
        }
        return KeyLadder(std::move(rungs));
    }
    int prompts() const { return service.prompts + tpm.prompts + keyring.prompts + file.prompts; }
};

std::string rungOf(const std::unique_ptr<PresenceKey>& key) {
    if (!key) return "(none)";
    Bytes name = key->encrypt({});
    return std::string(name.begin(), name.end());
}

std::string opened(KeyLadder& ladder, const std::string& blob) {
    std::unique_ptr<PresenceKey> key = ladder.findForUse(PromptRequest{"Unlock", -1});
    if (!key) return "(no key)";
    try {
        return std::string(key->decrypt(Bytes(blob.begin(), blob.end())).view());
    } catch (const KeyStoreError& error) {
        return "error: " + error.detail();
    }
}

TEST(KeyLadder, NewWrapsGoToTheStrongestRungThatAnswers) {
    struct Case {
        const char* name;
        bool service;
        bool tpm;
        bool keyring;
        std::string expected;
    };
    const Case cases[] = {
        {"everything", true, true, true, "key service"},
        {"no service", false, true, true, "TPM"},
        {"keyring only", false, false, true, "desktop keyring"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        if (!c.service) machine.service.unavailable = "the key service is not installed";
        if (!c.tpm) machine.tpm.unavailable = "there is no TPM";
        if (!c.keyring) machine.keyring.unavailable = "no Secret Service";
        KeyLadder ladder = machine.ladder();
        EXPECT_TRUE(ladder.canCreate());
        EXPECT_EQ(ladder.find(), nullptr);
        EXPECT_EQ(rungOf(ladder.create()), c.expected);
        EXPECT_EQ(rungOf(ladder.find()), c.expected);
    }
}

// A key on a weaker rung (made by an earlier version, or planted by a program of the user) is
// never wrapped to while a stronger rung answers; it stays, and keeps opening its own blobs.
TEST(KeyLadder, AKeyOnAWeakerRungIsNeverWrappedToButStillOpensItsBlobs) {
    struct Case {
        const char* name;
        ScriptedRung Machine::*holder;
        bool serviceAnswers;
        std::string newKeyRung;
    };
    const Case cases[] = {
        {"earlier key file, service answers", &Machine::file, true, "key service"},
        {"keyring key, service answers", &Machine::keyring, true, "key service"},
        {"TPM key of the user, service answers", &Machine::tpm, true, "key service"},
        {"earlier key file, no service", &Machine::file, false, "TPM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        (machine.*c.holder).holdsKey = true;
        if (!c.serviceAnswers) machine.service.unavailable = "the key service is not installed";
        KeyLadder ladder = machine.ladder();
        EXPECT_EQ(ladder.find(), nullptr) << "the weaker key is not offered for wrapping";
        EXPECT_EQ(rungOf(ladder.create()), c.newKeyRung);
        EXPECT_TRUE((machine.*c.holder).holdsKey) << "the weaker key stays";

        const std::string before = (machine.*c.holder).name;
        EXPECT_EQ(opened(ladder, before), before);
        EXPECT_EQ(machine.prompts(), 1) << "asked once, although the new key was tried first";
        EXPECT_EQ(opened(ladder, c.newKeyRung), c.newKeyRung);
        EXPECT_EQ(machine.prompts(), 2);
    }
}

TEST(KeyLadder, UnwrappingStopsAtARefusedPromptAndPassesAKeyThatCannotBeUsed) {
    {
        SCOPED_TRACE("refused at the first key: the next is not tried");
        Machine machine;
        machine.service.holdsKey = machine.file.holdsKey = true;
        machine.service.refuses = true;
        KeyLadder ladder = machine.ladder();
        EXPECT_EQ(opened(ladder, "key file"), "error: user presence was not confirmed");
        EXPECT_EQ(machine.file.findsForUse, 0);
    }
    {
        SCOPED_TRACE("the first key cannot be used: the next one asks");
        Machine machine;
        machine.service.holdsKey = machine.file.holdsKey = true;
        machine.service.keyUnusable = true;
        KeyLadder ladder = machine.ladder();
        EXPECT_EQ(opened(ladder, "key file"), "key file");
        EXPECT_FALSE(machine.file.lastRequestConfirmed);
        EXPECT_EQ(machine.file.prompts, 1);
        // A blob of the unusable key: its reason is what the person learns.
        EXPECT_EQ(opened(ladder, "key service"), "error: key service unusable");
    }
    {
        SCOPED_TRACE("the only key cannot be used: nobody is asked");
        Machine machine;
        machine.service.unavailable = "the key service is not installed";
        machine.tpm.holdsKey = true;
        machine.tpm.keyUnusable = true;
        KeyLadder ladder = machine.ladder();
        EXPECT_EQ(opened(ladder, "TPM"), "error: TPM unusable");
        EXPECT_EQ(machine.prompts(), 0);
        EXPECT_FALSE(ladder.canCreate()) << "--check says no while the top rung's key is dead";
    }
}

TEST(KeyLadder, WithoutAnyRungNoKeyIsMadeAndTheReasonNamesWhatIsMissing) {
    Machine machine;
    machine.service.unavailable = "the key service is not installed";
    machine.tpm.unavailable = "there is no TPM: /dev/tpmrm0 does not exist";
    machine.keyring.unavailable = "the session has no Secret Service";
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
                  "no presence key can be made here: no usable key service (the key service is "
                  "not installed); no usable TPM (there is no TPM: /dev/tpmrm0 does not exist); "
                  "no usable desktop keyring (the session has no Secret Service)");
    }
    EXPECT_FALSE(machine.file.holdsKey);  // the file of earlier keys never gets a new one
}

TEST(KeyLadder, WithNoKeyShownEveryRungIsAskedSoAFailedLookupIsNotTakenForAbsence) {
    Machine machine;
    EXPECT_EQ(machine.ladder().findForUse(PromptRequest{"Unlock", -1}), nullptr);
    EXPECT_EQ(machine.service.findsForUse + machine.tpm.findsForUse + machine.keyring.findsForUse +
                  machine.file.findsForUse,
              4);

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

// Only a rung that is not there lets the ladder fall to the next; one that is there and failed
// (a key service at a limit of the bus, timed out, answering with an error) stops it, whatever
// the rungs below could do.
TEST(KeyLadder, ARungThatIsThereAndFailsIsNeverPassedOver) {
    const std::string reason = "the key service cannot be asked now (a limit of the bus)";
    struct Case {
        const char* name;
        ScriptedRung Machine::*holder;  // a key made earlier on a weaker rung, or none
    };
    const Case cases[] = {
        {"weaker rungs answer and hold nothing", nullptr},
        {"the user's TPM holds an older key", &Machine::tpm},
        {"the keyring holds an older key", &Machine::keyring},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.service.failing = reason;
        if (c.holder != nullptr) (machine.*c.holder).holdsKey = true;
        KeyLadder ladder = machine.ladder();

        EXPECT_EQ(ladder.find(), nullptr);
        try {
            ladder.create();
            ADD_FAILURE() << "a key was made";
        } catch (const KeyStoreError& error) {
            EXPECT_EQ(error.step(), KeyStoreError::Step::create);
            EXPECT_EQ(error.detail(), reason);
        }
        try {
            ladder.canCreate();
            ADD_FAILURE() << "--check would offer a weaker rung";
        } catch (const PresenceUnavailable& unavailable) {
            EXPECT_EQ(unavailable.reason(), reason);
        }
        try {
            ladder.findForUse(PromptRequest{"Unlock", -1});
            ADD_FAILURE() << "an unwrap went past the failed rung";
        } catch (const KeyStoreError& error) {
            EXPECT_EQ(error.step(), KeyStoreError::Step::load);
            EXPECT_EQ(error.detail(), reason);
        }
        EXPECT_EQ(machine.prompts(), 0);
        EXPECT_EQ(machine.tpm.holdsKey, c.holder == &Machine::tpm) << "no key made below";
        EXPECT_EQ(machine.keyring.holdsKey, c.holder == &Machine::keyring);

        // Once it answers again, new wraps go to it.
        machine.service.failing.reset();
        EXPECT_EQ(rungOf(ladder.create()), "key service");
    }
}

TEST(KeyLadder, RemoveClearsEveryRungAndReportsTheFirstFailureAfterTryingAll) {
    Machine machine;
    machine.service.holdsKey = machine.tpm.holdsKey = machine.file.holdsKey = true;
    machine.keyring.failsRemove = true;
    KeyLadder ladder = machine.ladder();
    try {
        ladder.remove();
        ADD_FAILURE() << "the failure was not reported";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.detail(), "desktop keyring");
    }
    EXPECT_FALSE(machine.service.holdsKey);
    EXPECT_FALSE(machine.tpm.holdsKey);
    EXPECT_FALSE(machine.file.holdsKey);
    EXPECT_EQ(machine.file.removals, 1);
}

}  // namespace
}  // namespace quorvane::platform
